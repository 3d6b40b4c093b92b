// Merkle batches: merkle_leaf_hash, the append-only MerkleTree, and the
// InclusionProof and ConsistencyProof records it issues and that verify on
// their own.
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/json/record_json.hpp"
#include "core/merkle/hash.hpp"
#include "core/merkle/proof.hpp"
#include "core/merkle/tree.hpp"
#include "core/text/hex.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/ft.hpp"
#include "python/gil.hpp"
#include "python/pickling.hpp"
#include "python/record_forms.hpp"

namespace zun::py {
namespace {

using merkle::Hash;
using merkle::kHashSize;

// Hashing this many bytes takes some 10 us, from which releasing the
// interpreter lock pays (bench/gil_handover.c).
constexpr std::size_t kReleaseBytes = 16 * 1024;
// An interior node is a 65-byte message.
constexpr std::size_t kNodeBytes = 1 + 2 * kHashSize;

PyObject* new_hash(const Hash& hash) {
    return new_bytes({reinterpret_cast<const char*>(hash.data()), hash.size()});
}

PyObject* new_hash_list(const std::vector<Hash>& hashes) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(hashes.size()))));
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        // PyList_SetItem takes the new bytes even when it fails.
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_hash(hashes[i])) < 0) throw PythonError{};
    }
    return list.release();
}

// An int argument in a message: its value as an int, whatever a subclass's
// __str__ says, and in hex where the decimal digits would pass the
// interpreter's limit for converting them.
std::string int_text(PyObject* value) {
    const Ref exact(check(PyNumber_Index(value)));
    Ref text(PyObject_Str(exact.get()));
    if (!text && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        text = Ref(check(PyNumber_ToBase(exact.get(), 16)));
    }
    check(text.get());
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) throw PythonError{};
    return std::string(data, static_cast<std::size_t>(size));
}

// A 32-byte hash argument of a proof; any other length is a proof that
// does not verify.
Hash proof_hash(PyObject* obj, const char* param) {
    const std::string_view bytes = to_bytes(obj, param);
    if (bytes.size() != kHashSize) {
        raise_proof_error(std::string(param) + " is " + std::to_string(bytes.size()) + " bytes, not 32");
    }
    Hash hash;
    std::memcpy(hash.data(), bytes.data(), kHashSize);
    return hash;
}

Hash hash_leaf(std::string_view leaf) {
    if (leaf.size() < kReleaseBytes) return merkle::leaf_hash(byte_span(leaf));
    // `bytes` are immutable, and the caller's reference to the argument
    // keeps them alive until the call returns.
    return without_gil([&] { return merkle::leaf_hash(byte_span(leaf)); });
}

// ---- merkle_leaf_hash ---------------------------------------------------------

constexpr Param kLeafHashParams[] = {{"data", true}};
constexpr Signature kLeafHash{"merkle_leaf_hash()", kLeafHashParams};

PyObject* leaf_hash_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kLeafHash, args, nargs, kwnames);
        return new_hash(hash_leaf(to_bytes(bound[0], "data")));
    });
}

// ---- MerkleTree -----------------------------------------------------------------

// Appends and extends hash without the interpreter lock, so the tree has a
// lock of its own; built in place, as the mutex makes it immovable.
struct TreeCell {
    std::mutex mutex;
    merkle::MerkleTree tree;
};

TreeCell& cell_of(PyObject* self) { return value_of<TreeCell>(self); }

// The tree's mutex, taken with the interpreter lock held. When another
// thread has it (working without the interpreter lock), the wait happens
// without the interpreter lock, so that the holder can get it back.
class TreeLock {
public:
    explicit TreeLock(TreeCell& cell) : lock_(cell.mutex, std::try_to_lock) {
        if (!lock_.owns_lock()) without_gil([&] { lock_.lock(); });
    }

private:
    std::unique_lock<std::mutex> lock_;
};

// What a leaf comes from, read from its Python object with the interpreter
// lock held and hashed later, perhaps without it. Bytes a leaf copies (up to
// copy_size(), into the chunk's buffer) free its object at once; a leaf that
// copies nothing keeps its object held until it is hashed.
struct BytesLeaf {
    // Larger leaves are held rather than copied.
    static constexpr std::size_t kCopyLimit = 4096;
    std::string_view bytes;
    std::size_t copy_size() const { return bytes.size() <= kCopyLimit ? bytes.size() : 0; }
    void copy_to(char* into) {
        std::memcpy(into, bytes.data(), bytes.size());
        bytes = {into, bytes.size()};
    }
    std::size_t work() const { return bytes.size() + 1 + kNodeBytes; }
    Hash hash() const { return merkle::leaf_hash(byte_span(bytes)); }
};

struct EnvelopeLeaf {
    const SignedEnvelope* envelope;
    std::size_t copy_size() const { return 0; }
    void copy_to(char*) {}
    // Writing the JSON costs about as much as hashing it.
    std::size_t work() const { return 1024; }
    Hash hash() const {
        const std::string json = zun::to_json(*envelope);
        return merkle::leaf_hash(byte_span(json));
    }
};

struct ComputedLeaf {
    const char* hash_bytes;
    std::size_t copy_size() const { return kHashSize; }
    void copy_to(char* into) {
        std::memcpy(into, hash_bytes, kHashSize);
        hash_bytes = into;
    }
    std::size_t work() const { return kNodeBytes; }
    Hash hash() const {
        Hash hash;
        std::memcpy(hash.data(), hash_bytes, kHashSize);
        return hash;
    }
};

// The items of an iterable, one new reference at a time. A list or tuple is
// read by index, so that the objects a few items ahead are asked for while
// this one is read: each object's first touch is a cache miss otherwise.
class Items {
public:
    Items(PyObject* iterable, const char* param) : param_(param) {
        if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
            sequence_ = Ref::borrow(iterable);
        } else {
            iterator_ = to_iterator(iterable, param);
        }
    }

    // Null at the end.
    Ref next() {
        if (!sequence_) {
            Ref item(PyIter_Next(iterator_.get()));
            if (!item && PyErr_Occurred()) fail_argument(param_);
            return item;
        }
        // A list may change between chunks, which are hashed without the
        // interpreter lock, and at any moment without one at all: each item
        // is taken as a new reference against its current length, as its
        // iterator does.
        PyObject* sequence = sequence_.get();
        constexpr Py_ssize_t kAhead = 8;
        if (PyList_CheckExact(sequence)) {
            prefetch_list_item(sequence, index_ + kAhead);
            Ref item = list_item(sequence, index_);
            if (item) ++index_;
            return item;
        }
        const Py_ssize_t size = PyTuple_Size(sequence);
        if (index_ >= size) return Ref();
        if (index_ + kAhead < size) __builtin_prefetch(PyTuple_GetItem(sequence, index_ + kAhead));
        return Ref::borrow(PyTuple_GetItem(sequence, index_++));
    }

private:
    const char* param_;
    Ref sequence_;
    Ref iterator_;
    Py_ssize_t index_ = 0;
};

// Appends every leaf an iterable gives, in chunks: each chunk is read with
// the interpreter lock held (small leaves copied, other leaf objects held),
// then hashed and appended, without the lock when the chunk is worth it.
// Memory stays bounded whatever the iterable's length. Leaves read before a
// failing one are appended, as list.extend does; other threads' appends may
// fall between chunks. Signal handlers run between chunks: when one raises
// (Ctrl-C), or the iterable raises an exception that is not an Exception
// (KeyboardInterrupt, SystemExit), the call's leaves are taken out again,
// unless another thread's appends came after them, which keep their
// indexes. convert(item, index) makes a Leaf of the index-th item or throws.
template <class Leaf, class Convert>
void append_all(TreeCell& cell, PyObject* iterable, const char* param, Convert convert) {
    // Chunks of 8192 leaves, their small leaves copied back to back: a
    // chunk is hashed from the cache, in one pass over contiguous bytes,
    // and each leaf object is touched once, while it is read. A root of a
    // million 100-byte leaves takes about 1.2 times the bare hashing of
    // bench/sha256_floor.c this way, against about 1.3 holding the objects
    // of chunks of 65536. A chunk is some 2 ms of work, so that a busy
    // thread making the lock's return wait (up to the switch interval)
    // slows this call, not the process.
    constexpr std::size_t kChunk = std::size_t{1} << 13;
    constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
    // Large held leaves end a chunk sooner: some 10 ms of hashing at most
    // between two looks at the signal handlers.
    constexpr std::size_t kChunkWork = std::size_t{16} << 20;
    Items items(iterable, param);
    std::vector<Ref> held;
    std::vector<Leaf> leaves;
    const std::unique_ptr<char[]> copies(new char[kChunkBytes]);
    std::size_t copied = 0;
    std::size_t work = 0;
    // Where this call's leaves went: from `first` on, `appended` of them,
    // unless another thread's leaves came between two chunks.
    std::optional<std::uint64_t> first;
    std::uint64_t appended = 0;
    bool interleaved = false;
    auto flush = [&] {
        if (leaves.empty()) return;
        // Each leaf goes in as soon as it is hashed.
        auto append_chunk = [&] {
            const std::uint64_t at = cell.tree.size();
            if (!first) {
                first = at;
            } else if (at != *first + appended) {
                interleaved = true;
            }
            for (const Leaf& leaf : leaves) cell.tree.append(leaf.hash());
            appended += leaves.size();
        };
        if (work >= kReleaseBytes) {
            without_gil([&] {
                const std::lock_guard lock(cell.mutex);
                append_chunk();
            });
        } else {
            const TreeLock lock(cell);
            append_chunk();
        }
        leaves.clear();
        held.clear();
        copied = 0;
        work = 0;
    };
    bool interrupted = false;
    auto flush_between_chunks = [&] {
        flush();
        interrupted = true;
        raise_pending_signals();
        interrupted = false;
    };
    // With the tree's lock, so that no append comes between the look and the cut.
    auto take_back = [&] {
        const TreeLock lock(cell);
        if (first && !interleaved && cell.tree.size() == *first + appended) cell.tree.truncate(*first);
    };
    try {
        for (std::size_t index = 0;; ++index) {
            Ref item = items.next();
            if (!item) break;
            Leaf leaf = convert(item.get(), index);
            if (const std::size_t size = leaf.copy_size(); size > 0) {
                if (copied + size > kChunkBytes) flush_between_chunks();
                leaf.copy_to(copies.get() + copied);
                copied += size;
            } else {
                held.push_back(std::move(item));
            }
            work += leaves.emplace_back(leaf).work();
            if (leaves.size() == kChunk || work >= kChunkWork) flush_between_chunks();
        }
    } catch (const PythonError&) {
        // The leaves read before a failing one go in, and an interrupted
        // call's come out; the exception waits meanwhile.
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        const bool undo = interrupted || !PyErr_GivenExceptionMatches(type, PyExc_Exception);
        try {
            if (undo) {
                take_back();
            } else {
                flush();
            }
        } catch (...) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
            throw;
        }
        PyErr_Restore(type, value, traceback);
        throw;
    }
    flush();
}

void append_leaves(TreeCell& cell, PyObject* leaves) {
    append_all<BytesLeaf>(cell, leaves, "leaves",
                          [](PyObject* item, std::size_t) { return BytesLeaf{to_bytes(item, "leaves")}; });
}

// A new, empty MerkleTree of `type`.
Ref new_tree(PyTypeObject* type) { return Ref(emplace<TreeCell>(type)); }

constexpr Param kTreeNewParams[] = {{"leaves", false}};
constexpr Signature kTreeNew{"MerkleTree.__new__()", kTreeNewParams};
constexpr Param kFromLeafHashesParams[] = {{"hashes", true}};
constexpr Signature kFromLeafHashes{"MerkleTree.from_leaf_hashes()", kFromLeafHashesParams};
constexpr Param kOfEnvelopesParams[] = {{"envelopes", true}};
constexpr Signature kOfEnvelopes{"MerkleTree.of_envelopes()", kOfEnvelopesParams};
constexpr Param kAppendParams[] = {{"leaf", true}};
constexpr Signature kAppend{"MerkleTree.append()", kAppendParams};
constexpr Param kExtendParams[] = {{"leaves", true}};
constexpr Signature kExtend{"MerkleTree.extend()", kExtendParams};
constexpr Param kIndexParams[] = {{"index", true}};
constexpr Signature kLeafHashOf{"MerkleTree.leaf_hash()", kIndexParams};
constexpr Param kRootParams[] = {{"size", false}};
constexpr Signature kRoot{"MerkleTree.root()", kRootParams};
constexpr Param kInclusionParams[] = {{"index", true}, {"size", false}};
constexpr Signature kInclusion{"MerkleTree.inclusion_proof()", kInclusionParams};
constexpr Param kConsistencyParams[] = {{"old_size", true}, {"size", false}};
constexpr Signature kConsistency{"MerkleTree.consistency_proof()", kConsistencyParams};

PyObject* tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto bound = bind<1>(kTreeNew, args, kwargs);
        Ref tree = new_tree(type);
        // None, as for every optional parameter, is the argument left out.
        if (bound[0] != nullptr && bound[0] != Py_None) append_leaves(cell_of(tree.get()), bound[0]);
        return tree.release();
    });
}

PyObject* tree_from_leaf_hashes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kFromLeafHashes, args, nargs, kwnames);
        Ref tree = new_tree(merkle_tree_class.type);
        append_all<ComputedLeaf>(cell_of(tree.get()), bound[0], "hashes", [](PyObject* item, std::size_t index) {
            const std::string_view bytes = to_bytes(item, "hashes");
            if (bytes.size() != kHashSize) {
                raise(Failure::WrongLength, "hashes[" + std::to_string(index) + "] must be exactly 32 bytes");
            }
            return ComputedLeaf{bytes.data()};
        });
        return tree.release();
    });
}

PyObject* tree_of_envelopes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kOfEnvelopes, args, nargs, kwnames);
        Ref tree = new_tree(merkle_tree_class.type);
        append_all<EnvelopeLeaf>(cell_of(tree.get()), bound[0], "envelopes", [](PyObject* item, std::size_t) {
            // Envelopes are frozen: their records can be read without the lock.
            return EnvelopeLeaf{
                &to_record<SignedEnvelope>(item, signed_envelope_class.type, "SignedEnvelope", "envelopes")};
        });
        return tree.release();
    });
}

PyObject* tree_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kAppend, args, nargs, kwnames);
        const Hash leaf = hash_leaf(to_bytes(bound[0], "leaf"));
        TreeCell& cell = cell_of(self);
        std::uint64_t index;
        {
            const TreeLock lock(cell);
            cell.tree.append(leaf);
            index = cell.tree.size() - 1;
        }
        return check(PyLong_FromUnsignedLongLong(index));
    });
}

PyObject* tree_extend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kExtend, args, nargs, kwnames);
        append_leaves(cell_of(self), bound[0]);
        return new_none();
    });
}

std::uint64_t tree_size(TreeCell& cell) {
    const TreeLock lock(cell);
    return cell.tree.size();
}

// IndexError "<what> <value> is out of range for a tree of <size> leaves".
[[noreturn]] void out_of_range(const char* what, PyObject* value, std::uint64_t size) {
    raise(Failure::OutOfRange, std::string(what) + " " + int_text(value) + " is out of range for a tree of " +
                                   std::to_string(size) + " leaves");
}

// Arguments are converted before the tree's mutex is taken, and Python
// objects made after it is given back: either may run Python code (an int
// subclass's __str__, a collection), which must not find the tree locked.

// The size argument of root() and the proofs; absent, the tree's size.
struct SizeArgument {
    PyObject* given = nullptr;
    std::optional<std::uint64_t> value;  // nullopt: not a 64-bit unsigned number

    explicit SizeArgument(PyObject* obj) {
        if (obj == nullptr || obj == Py_None) return;
        given = obj;
        value = to_unsigned(obj, "size");
    }
    // The size against the tree's; nullopt when the tree has no such size.
    std::optional<std::uint64_t> resolve(std::uint64_t tree_size) const {
        if (given == nullptr) return tree_size;
        if (!value || *value > tree_size) return std::nullopt;
        return value;
    }
};

PyObject* tree_leaf_hash(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kLeafHashOf, args, nargs, kwnames);
        const std::optional<std::uint64_t> index = to_unsigned(bound[0], "index");
        TreeCell& cell = cell_of(self);
        std::optional<Hash> hash;
        std::uint64_t tree_size;
        {
            const TreeLock lock(cell);
            tree_size = cell.tree.size();
            if (index && *index < tree_size) hash = cell.tree.leaf_hash(*index);
        }
        if (!hash) out_of_range("leaf index", bound[0], tree_size);
        return new_hash(*hash);
    });
}

PyObject* tree_root(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kRoot, args, nargs, kwnames);
        const SizeArgument size_arg(bound[0]);
        TreeCell& cell = cell_of(self);
        std::optional<Hash> root;
        std::uint64_t tree_size;
        {
            const TreeLock lock(cell);
            tree_size = cell.tree.size();
            if (const auto size = size_arg.resolve(tree_size)) root = cell.tree.root(*size);
        }
        if (!root) out_of_range("size", size_arg.given, tree_size);
        return new_hash(*root);
    });
}

PyObject* tree_inclusion_proof(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kInclusion, args, nargs, kwnames);
        const std::optional<std::uint64_t> index = to_unsigned(bound[0], "index");
        const SizeArgument size_arg(bound[1]);
        TreeCell& cell = cell_of(self);
        std::optional<InclusionProof> proof;
        std::uint64_t tree_size;
        std::optional<std::uint64_t> size;
        {
            const TreeLock lock(cell);
            tree_size = cell.tree.size();
            size = size_arg.resolve(tree_size);
            if (size && index && *index < *size) proof = cell.tree.inclusion_proof(*index, *size);
        }
        if (!size) out_of_range("size", size_arg.given, tree_size);
        if (!proof) out_of_range("leaf index", bound[0], *size);
        return wrap(inclusion_proof_class.type, std::move(*proof));
    });
}

PyObject* tree_consistency_proof(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kConsistency, args, nargs, kwnames);
        const std::optional<std::uint64_t> old_size = to_unsigned(bound[0], "old_size");
        const SizeArgument size_arg(bound[1]);
        TreeCell& cell = cell_of(self);
        std::optional<ConsistencyProof> proof;
        std::uint64_t tree_size;
        std::optional<std::uint64_t> size;
        {
            const TreeLock lock(cell);
            tree_size = cell.tree.size();
            size = size_arg.resolve(tree_size);
            if (size && old_size && *old_size != 0 && *old_size <= *size) {
                proof = cell.tree.consistency_proof(*old_size, *size);
            }
        }
        if (!size) out_of_range("size", size_arg.given, tree_size);
        if (!proof) {
            // A proof starts from a tree of at least one leaf.
            if (*size == 0) raise(Failure::OutOfRange, "a tree of 0 leaves has no consistency proof");
            raise(Failure::OutOfRange,
                  "old size " + int_text(bound[0]) + " is out of range 1 to " + std::to_string(*size));
        }
        return wrap(consistency_proof_class.type, std::move(*proof));
    });
}

Py_ssize_t tree_length(PyObject* self) {
    Py_ssize_t length = -1;
    Ref done(guarded([&] {
        length = static_cast<Py_ssize_t>(tree_size(cell_of(self)));
        return new_none();
    }));
    return done ? length : -1;
}

PyObject* tree_repr(PyObject* self) {
    return guarded([&] {
        TreeCell& cell = cell_of(self);
        std::uint64_t size;
        Hash root;
        {
            const TreeLock lock(cell);
            size = cell.tree.size();
            root = cell.tree.root(size);
        }
        std::string text = "MerkleTree(size=" + std::to_string(size) + ", root=";
        append_quoted(text, hex_encode(root));
        text += ')';
        return new_str(text);
    });
}

PyObject* get_size(PyObject* self, void*) {
    return guarded([&] { return check(PyLong_FromUnsignedLongLong(tree_size(cell_of(self)))); });
}

// A tree travels as its leaf hashes and is rebuilt by from_leaf_hashes. It can
// grow, so a copy is a new tree with the same leaves, which copy gets from
// the pickle form. The hashes are copied out under the tree's lock and turned
// into objects after: making objects can run Python code that uses the tree.
struct TreePickle {
    static PyObject* rebuilder() {
        static ClassBound from_leaf_hashes{"from_leaf_hashes", method(tree_from_leaf_hashes)};
        return from_leaf_hashes.get(merkle_tree_class.type);
    }
    static PyObject* arguments(PyObject* self) {
        TreeCell& cell = cell_of(self);
        std::vector<Hash> hashes;
        {
            const TreeLock lock(cell);
            hashes.reserve(cell.tree.size());
            for (std::uint64_t i = 0; i < cell.tree.size(); ++i) hashes.push_back(cell.tree.leaf_hash(i));
        }
        Ref list(new_hash_list(hashes));
        return check(PyTuple_Pack(1, list.get()));
    }
};

PyMethodDef tree_methods[] = {
    {"from_leaf_hashes", method(tree_from_leaf_hashes), kFastKeywords | METH_STATIC,
     "from_leaf_hashes(hashes)\n--\n\n"
     "A tree whose leaf hashes (32 bytes each) are already computed."},
    ZUN_PICKLING(PickledByArguments<TreePickle>),
    {"of_envelopes", method(tree_of_envelopes), kFastKeywords | METH_STATIC,
     "of_envelopes(envelopes)\n--\n\n"
     "A tree whose leaves are the envelopes' canonical JSON (`to_json()`\n"
     "as UTF-8), in order: the one leaf encoding of envelopes."},
    {"append", method(tree_append), kFastKeywords,
     "append($self, leaf)\n--\n\n"
     "Append one leaf (bytes); returns its index."},
    {"extend", method(tree_extend), kFastKeywords,
     "extend($self, leaves)\n--\n\n"
     "Append every leaf of an iterable of bytes. As with `list.extend`, the\n"
     "leaves read before one that fails stay appended. Leaves are appended\n"
     "in chunks: an iterable that appends to this tree itself gives no\n"
     "fixed order."},
    {"leaf_hash", method(tree_leaf_hash), kFastKeywords,
     "leaf_hash($self, index)\n--\n\n"
     "The hash of the leaf at `index`."},
    {"root", method(tree_root), kFastKeywords,
     "root($self, size=None)\n--\n\n"
     "The root of the first `size` leaves (all of them by default); the\n"
     "tree of no leaves has SHA-256 of nothing as its root."},
    {"inclusion_proof", method(tree_inclusion_proof), kFastKeywords,
     "inclusion_proof($self, index, size=None)\n--\n\n"
     "The proof that leaf `index` is in the tree of the first `size` leaves."},
    {"consistency_proof", method(tree_consistency_proof), kFastKeywords,
     "consistency_proof($self, old_size, size=None)\n--\n\n"
     "The proof that the tree of the first `size` leaves extends the tree\n"
     "of the first `old_size` (1 to `size`)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tree_properties[] = {
    {"size", get_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "MerkleTree(leaves=())\n--\n\n"
                    "Append-only Merkle tree of RFC 9162 (the Certificate Transparency\n"
                    "tree): leaf hash SHA-256(0x00 || leaf), node hash\n"
                    "SHA-256(0x01 || left || right). It keeps the 32-byte hashes, never\n"
                    "the leaves. Large batches are hashed without the interpreter lock.")},
    {Py_tp_new, slot(tree_new)},
    {Py_tp_dealloc, slot(dealloc<TreeCell>)},
    {Py_tp_repr, slot(tree_repr)},
    {Py_sq_length, slot(tree_length)},
    {Py_tp_methods, tree_methods},
    {Py_tp_getset, tree_properties},
    {0, nullptr},
};

PyType_Spec tree_spec = {"zun_protocol.MerkleTree", sizeof(Instance<TreeCell>), 0, Py_TPFLAGS_DEFAULT, tree_slots};

// ---- InclusionProof and ConsistencyProof -------------------------------------------

// A proof's size or index argument: any int that is not a 64-bit unsigned
// number makes a proof that cannot verify.
std::uint64_t proof_number(PyObject* obj, const char* param) {
    const std::optional<std::uint64_t> value = to_unsigned(obj, param);
    if (!value) raise_proof_error(std::string(param) + " " + int_text(obj) + " is not between 0 and 2**64 - 1");
    return *value;
}

std::vector<Hash> proof_hashes(PyObject* obj) {
    constexpr const char* kParam = "hashes";
    Ref iterator = to_sequence_iterator(obj, kParam);
    std::vector<Hash> hashes;
    for (std::size_t index = 0;; ++index) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) fail_argument(kParam);
            break;
        }
        const std::string_view bytes = to_bytes(item.get(), kParam);
        if (bytes.size() != kHashSize) {
            raise_proof_error("hashes[" + std::to_string(index) + "] is " + std::to_string(bytes.size()) +
                              " bytes, not 32");
        }
        // More hashes than any proof has are kept all the same (32 bytes
        // each): verifying stops at the tree's height and refuses them.
        std::memcpy(hashes.emplace_back().data(), bytes.data(), kHashSize);
    }
    return hashes;
}

struct InclusionClass {
    using Cell = InclusionProof;
    static constexpr const char* kName = "InclusionProof";
    static constexpr Signature kFromJson{"InclusionProof.from_json()", kJsonTextParams};
    static constexpr Signature kFromDict{"InclusionProof.from_dict()", kDictParams};
    static PyTypeObject* type() { return inclusion_proof_class.type; }
};

struct ConsistencyClass {
    using Cell = ConsistencyProof;
    static constexpr const char* kName = "ConsistencyProof";
    static constexpr Signature kFromJson{"ConsistencyProof.from_json()", kJsonTextParams};
    static constexpr Signature kFromDict{"ConsistencyProof.from_dict()", kDictParams};
    static PyTypeObject* type() { return consistency_proof_class.type; }
};

using InclusionForms = RecordForms<InclusionClass>;
using ConsistencyForms = RecordForms<ConsistencyClass>;

constexpr Param kInclusionNewParams[] = {{"leaf_index", true}, {"tree_size", true}, {"hashes", true}};
constexpr Signature kInclusionNew{"InclusionProof.__new__()", kInclusionNewParams};
constexpr Param kRootFromParams[] = {{"leaf_hash", true}};
constexpr Signature kRootFrom{"InclusionProof.root_from()", kRootFromParams};
constexpr Param kVerifyLeafParams[] = {{"leaf", true}, {"root", true}};
constexpr Signature kVerifyLeaf{"InclusionProof.verify()", kVerifyLeafParams};
constexpr Param kVerifyLeafHashParams[] = {{"leaf_hash", true}, {"root", true}};
constexpr Signature kVerifyLeafHash{"InclusionProof.verify_leaf_hash()", kVerifyLeafHashParams};
constexpr Param kConsistencyNewParams[] = {{"old_size", true}, {"new_size", true}, {"hashes", true}};
constexpr Signature kConsistencyNew{"ConsistencyProof.__new__()", kConsistencyNewParams};
constexpr Param kVerifyRootsParams[] = {{"old_root", true}, {"new_root", true}};
constexpr Signature kVerifyRoots{"ConsistencyProof.verify()", kVerifyRootsParams};

const InclusionProof& inclusion_of(PyObject* self) { return value_of<InclusionProof>(self); }
const ConsistencyProof& consistency_of(PyObject* self) { return value_of<ConsistencyProof>(self); }

PyObject* inclusion_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto bound = bind<3>(kInclusionNew, args, kwargs);
        InclusionProof proof;
        proof.leaf_index = proof_number(bound[0], "leaf_index");
        proof.tree_size = proof_number(bound[1], "tree_size");
        proof.hashes = proof_hashes(bound[2]);
        return wrap(type, std::move(proof));
    });
}

Hash root_from(PyObject* self, const Hash& leaf) {
    auto result = merkle::root_from_inclusion(inclusion_of(self), leaf);
    if (const auto* error = std::get_if<merkle::ProofError>(&result)) raise_proof_error(*error);
    return std::get<Hash>(result);
}

void verify_inclusion(PyObject* self, const Hash& leaf, const Hash& root) {
    if (auto error = merkle::verify_inclusion(inclusion_of(self), leaf, root)) raise_proof_error(*error);
}

PyObject* inclusion_root_from(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<1>(kRootFrom, args, nargs, kwnames);
        return new_hash(root_from(self, proof_hash(bound[0], "leaf_hash")));
    });
}

PyObject* inclusion_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kVerifyLeaf, args, nargs, kwnames);
        const std::string_view leaf = to_bytes(bound[0], "leaf");
        const Hash root = proof_hash(bound[1], "root");
        verify_inclusion(self, hash_leaf(leaf), root);
        return new_none();
    });
}

PyObject* inclusion_verify_leaf_hash(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kVerifyLeafHash, args, nargs, kwnames);
        const Hash leaf = proof_hash(bound[0], "leaf_hash");
        const Hash root = proof_hash(bound[1], "root");
        verify_inclusion(self, leaf, root);
        return new_none();
    });
}

PyObject* inclusion_repr(PyObject* self) {
    return guarded([&] {
        const InclusionProof& proof = inclusion_of(self);
        return new_str("InclusionProof(leaf_index=" + std::to_string(proof.leaf_index) +
                       ", tree_size=" + std::to_string(proof.tree_size) +
                       ", hashes=" + std::to_string(proof.hashes.size()) + ")");
    });
}

template <class Proof, std::uint64_t Proof::*Member>
PyObject* get_number(PyObject* self, void*) {
    return guarded([&] { return check(PyLong_FromUnsignedLongLong(value_of<Proof>(self).*Member)); });
}

template <class Proof>
PyObject* get_hashes(PyObject* self, void*) {
    return guarded([&] { return new_hash_list(value_of<Proof>(self).hashes); });
}

PyMethodDef inclusion_methods[] = {
    {"root_from", method(inclusion_root_from), kFastKeywords,
     "root_from($self, leaf_hash)\n--\n\n"
     "The root that this proof and the leaf's hash lead to."},
    {"verify", method(inclusion_verify), kFastKeywords,
     "verify($self, leaf, root)\n--\n\n"
     "Check that `leaf` (its bytes) is in the tree whose root is `root`.\n"
     "Raises `ValueError` when it is not."},
    {"verify_leaf_hash", method(inclusion_verify_leaf_hash), kFastKeywords,
     "verify_leaf_hash($self, leaf_hash, root)\n--\n\n"
     "As `verify`, for a leaf hash already computed."},
    {"from_json", method(InclusionForms::from_json), kFastKeywords | METH_STATIC, "from_json(s)\n--\n\n"},
    {"to_json", method(InclusionForms::to_json), METH_NOARGS, "to_json($self)\n--\n\n"},
    {"from_dict", method(InclusionForms::from_dict), kFastKeywords | METH_STATIC, "from_dict(d)\n--\n\n"},
    {"to_dict", method(InclusionForms::to_dict), METH_NOARGS, "to_dict($self)\n--\n\n"},
    ZUN_PICKLING_AND_COPYING(PickledAsJson<InclusionClass>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef inclusion_properties[] = {
    {"leaf_index", get_number<InclusionProof, &InclusionProof::leaf_index>, nullptr, nullptr, nullptr},
    {"tree_size", get_number<InclusionProof, &InclusionProof::tree_size>, nullptr, nullptr, nullptr},
    {"hashes", get_hashes<InclusionProof>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot inclusion_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "InclusionProof(leaf_index, tree_size, hashes)\n--\n\n"
                    "Proof that the leaf at `leaf_index` is in a Merkle tree of `tree_size`\n"
                    "leaves: the hashes (32 bytes each) from the leaf up to the root.")},
    {Py_tp_new, slot(inclusion_new)},
    {Py_tp_dealloc, slot(dealloc<InclusionProof>)},
    {Py_tp_repr, slot(inclusion_repr)},
    {Py_tp_richcompare, slot(richcompare<InclusionProof>)},
    {Py_tp_methods, inclusion_methods},
    {Py_tp_getset, inclusion_properties},
    {0, nullptr},
};

PyType_Spec inclusion_spec = {"zun_protocol.InclusionProof", sizeof(Instance<InclusionProof>), 0,
                              Py_TPFLAGS_DEFAULT, inclusion_slots};

PyObject* consistency_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto bound = bind<3>(kConsistencyNew, args, kwargs);
        ConsistencyProof proof;
        proof.old_size = proof_number(bound[0], "old_size");
        proof.new_size = proof_number(bound[1], "new_size");
        proof.hashes = proof_hashes(bound[2]);
        return wrap(type, std::move(proof));
    });
}

PyObject* consistency_verify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kVerifyRoots, args, nargs, kwnames);
        const Hash old_root = proof_hash(bound[0], "old_root");
        const Hash new_root = proof_hash(bound[1], "new_root");
        if (auto error = merkle::verify_consistency(consistency_of(self), old_root, new_root)) {
            raise_proof_error(*error);
        }
        return new_none();
    });
}

PyObject* consistency_repr(PyObject* self) {
    return guarded([&] {
        const ConsistencyProof& proof = consistency_of(self);
        return new_str("ConsistencyProof(old_size=" + std::to_string(proof.old_size) +
                       ", new_size=" + std::to_string(proof.new_size) +
                       ", hashes=" + std::to_string(proof.hashes.size()) + ")");
    });
}

PyMethodDef consistency_methods[] = {
    {"verify", method(consistency_verify), kFastKeywords,
     "verify($self, old_root, new_root)\n--\n\n"
     "Check that the tree whose root is `new_root` extends the one whose\n"
     "root is `old_root`. Raises `ValueError` when it does not."},
    {"from_json", method(ConsistencyForms::from_json), kFastKeywords | METH_STATIC, "from_json(s)\n--\n\n"},
    {"to_json", method(ConsistencyForms::to_json), METH_NOARGS, "to_json($self)\n--\n\n"},
    {"from_dict", method(ConsistencyForms::from_dict), kFastKeywords | METH_STATIC, "from_dict(d)\n--\n\n"},
    {"to_dict", method(ConsistencyForms::to_dict), METH_NOARGS, "to_dict($self)\n--\n\n"},
    ZUN_PICKLING_AND_COPYING(PickledAsJson<ConsistencyClass>),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef consistency_properties[] = {
    {"old_size", get_number<ConsistencyProof, &ConsistencyProof::old_size>, nullptr, nullptr, nullptr},
    {"new_size", get_number<ConsistencyProof, &ConsistencyProof::new_size>, nullptr, nullptr, nullptr},
    {"hashes", get_hashes<ConsistencyProof>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot consistency_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "ConsistencyProof(old_size, new_size, hashes)\n--\n\n"
                    "Proof that a Merkle tree of `new_size` leaves extends the tree of\n"
                    "its first `old_size` leaves.")},
    {Py_tp_new, slot(consistency_new)},
    {Py_tp_dealloc, slot(dealloc<ConsistencyProof>)},
    {Py_tp_repr, slot(consistency_repr)},
    {Py_tp_richcompare, slot(richcompare<ConsistencyProof>)},
    {Py_tp_methods, consistency_methods},
    {Py_tp_getset, consistency_properties},
    {0, nullptr},
};

PyType_Spec consistency_spec = {"zun_protocol.ConsistencyProof", sizeof(Instance<ConsistencyProof>), 0,
                                Py_TPFLAGS_DEFAULT, consistency_slots};

}  // namespace

PyMethodDef merkle_leaf_hash_def = {
    "merkle_leaf_hash", method(leaf_hash_function), kFastKeywords,
    "merkle_leaf_hash(data)\n--\n\n"
    "SHA-256(0x00 || data): the hash of one leaf of a `MerkleTree`."};

ClassDef merkle_tree_class{"MerkleTree", &tree_spec, nullptr};
ClassDef inclusion_proof_class{"InclusionProof", &inclusion_spec, nullptr};
ClassDef consistency_proof_class{"ConsistencyProof", &consistency_spec, nullptr};

}  // namespace zun::py
