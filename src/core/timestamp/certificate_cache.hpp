// The certificate inputs read last (trust.cpp) are kept for the whole process
// under one mutex. A child of fork gets a copy of that mutex in whatever state
// another thread of the parent left it, and none of that thread: whoever
// forks takes the mutex first and lets it go on both sides afterwards, as
// pthread_atfork hooks.
#pragma once

namespace zun {

// Waits until no look-up is in progress and keeps others out.
void lock_certificate_cache() noexcept;
// In the parent, or in the child, after lock_certificate_cache before the fork.
void unlock_certificate_cache() noexcept;

}  // namespace zun
