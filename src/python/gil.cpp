#include "python/gil.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/timestamp/certificate_cache.hpp"
#include "python/ref.hpp"

namespace zun::py {
namespace {

// Calls between begin_release and end_release (reset in a forked child,
// where the threads it counted do not exist).
std::atomic<int> released_calls{0};
// Set when the interpreter starts to exit: no work is released after that.
// A call counts itself in before it looks at `closing`, and the exit hook
// sets `closing` before it reads the count, both sequentially consistent:
// whichever comes second sees the other, so no call is released unseen,
// without the interpreter lock as with it.
std::atomic<bool> closing{false};

// The first release registers the exit hook; one thread does it, the
// others meanwhile keep the lock (or stay attached) for their work.
enum class Setup : unsigned char { not_yet, running, done };
std::atomic<Setup> setup{Setup::not_yet};

QueueMutex& the_queue_mutex() {
    static QueueMutex mutex;
    return mutex;
}

// A child of fork gets a copy of the queue mutex and of the certificate
// cache's mutex in whatever state another thread of the parent left them, and
// none of that thread: the fork waits until no queue operation and no cache
// look-up is in progress. The cache's is never held while the queue's is
// taken (a signal handler that list() runs may verify a token, in that order).
void before_fork() {
    the_queue_mutex().lock();
    lock_certificate_cache();
}
void after_fork_in_parent() {
    unlock_certificate_cache();
    the_queue_mutex().unlock();
}
void after_fork_in_child() {
    unlock_certificate_cache();
    the_queue_mutex().unlock();
    released_calls.store(0, std::memory_order_relaxed);
}

// Registered with `atexit`, which runs after the non-daemon threads are
// joined and before the interpreter finalises. From then on nothing is
// released, and this waits until every daemon thread that is out with work
// has taken the lock back: one that tried later would be ended from inside
// the interpreter in the middle of our frames, which aborts the process.
PyObject* settle_released_calls(PyObject*, PyObject*) {
    closing.store(true);
    while (released_calls.load() > 0) {
        PyThreadState* state = PyEval_SaveThread();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        PyEval_RestoreThread(state);
    }
    return new_none();
}

PyMethodDef settle_def = {"settle_released_calls", settle_released_calls, METH_NOARGS, nullptr};

bool register_exit_hook() {
    Ref atexit(PyImport_ImportModule("atexit"));
    Ref hook(atexit ? PyCFunction_New(&settle_def, nullptr) : nullptr);
    Ref registered(hook ? PyObject_CallMethod(atexit.get(), "register", "O", hook.get()) : nullptr);
    if (!registered) {
        // Work then keeps the lock, and the next call tries again.
        PyErr_Clear();
        return false;
    }
    return true;
}

// Whether this thread runs the interpreter's signal handlers: the main
// thread, as `threading` knows it. Asked afresh each time (a fork makes the
// forking thread the main one); when `threading` cannot tell, yes, which
// costs a few needless checks at most.
bool runs_signal_handlers() noexcept {
    Ref name(PyUnicode_FromString("threading"));
    Ref threading(name ? PyImport_GetModule(name.get()) : nullptr);
    Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    Ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    unsigned long main_ident = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        main_ident = 0;
    }
    return main_ident == 0 || main_ident == PyThread_get_thread_ident();
}

}  // namespace

SignalCheck::SignalCheck() noexcept
    : handles_signals_(runs_signal_handlers()), next_(std::chrono::steady_clock::now() + kInterval) {}

bool SignalCheck::run_handlers() noexcept {
    // Only when the work runs without the interpreter: otherwise no thread
    // that holds the interpreter can be waiting for the lock.
    std::unique_lock<QueueMutex>* const unlocked = released_ != nullptr ? unlocked_ : nullptr;
    if (unlocked != nullptr) unlocked->unlock();
    if (released_ != nullptr) PyEval_RestoreThread(released_);
    raised_ = PyErr_CheckSignals() < 0;
    if (released_ != nullptr) released_ = PyEval_SaveThread();
    if (unlocked != nullptr) unlocked->lock();
    return raised_;
}

void raise_pending_signals() {
    if (PyErr_CheckSignals() < 0) throw PythonError{};
}

bool begin_release() noexcept {
    if (setup.load(std::memory_order_acquire) != Setup::done) {
        // The import may let another thread in here meanwhile; it keeps the lock.
        Setup expected = Setup::not_yet;
        if (closing.load() || !setup.compare_exchange_strong(expected, Setup::running)) return false;
        if (!register_exit_hook()) {
            setup.store(Setup::not_yet);
            return false;
        }
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        setup.store(Setup::done, std::memory_order_release);
    }
    released_calls.fetch_add(1);
    if (closing.load()) {
        released_calls.fetch_sub(1);
        return false;
    }
    return true;
}

void end_release() noexcept { released_calls.fetch_sub(1); }

void QueueMutex::lock() noexcept {
    const std::thread::id self = std::this_thread::get_id();
    // Only this thread ever stores its own id, so a match cannot be stale.
    if (owner_.load(std::memory_order_relaxed) == self) {
        ++depth_;
        return;
    }
    mutex_.lock();
    owner_.store(self, std::memory_order_relaxed);
    depth_ = 1;
}

void QueueMutex::unlock() noexcept {
    if (--depth_ > 0) return;
    owner_.store(std::thread::id{}, std::memory_order_relaxed);
    mutex_.unlock();
}

QueueMutex& queue_mutex() noexcept { return the_queue_mutex(); }

}  // namespace zun::py
