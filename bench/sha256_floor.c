/* The hashing behind a Merkle root, bare: n leaves of <size> bytes, each hashed as
 * SHA-256(0x00 || leaf), then the n - 1 interior nodes SHA-256(0x01 || left || right) of the
 * tree that splits at the largest power of two below its size, level by level. 2n - 1
 * hashes, no allocation inside the timed part besides one array of leaf hashes.
 *
 *   sha256_floor <interface> <n> <size> <rounds>
 *
 * <interface> is how OpenSSL is called:
 *   lowlevel   SHA256_Init / SHA256_Update / SHA256_Final on a context on the stack (the
 *              prefix and the leaf in two updates, a node's 65 bytes in one);
 *   oneshot    SHA256() over the prefix and the message copied into one buffer;
 *   evp        one EVP_MD_CTX, reused: EVP_DigestInit_ex2 / Update / Final_ex with an EVP_MD
 *              fetched once;
 *   evp-q      EVP_Digest() with the fetched EVP_MD, a fresh context per hash inside OpenSSL.
 *
 * Leaf i holds the bytes (i + k) & 0xff for k = 0 .. size - 1. Prints the root in hex and the
 * nanoseconds of the best of <rounds> rounds, in CPU time of the thread: on a shared machine
 * the wall clock also counts the time other processes had the core. */
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef void (*hash_fn)(unsigned char prefix, const unsigned char* a, size_t a_len, const unsigned char* b,
                        size_t b_len, unsigned char* out);

static EVP_MD* sha256_md;
static EVP_MD_CTX* shared_ctx;

static double cpu_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

static unsigned char joined[1 << 16];

static size_t join(unsigned char prefix, const unsigned char* a, size_t a_len, const unsigned char* b,
                   size_t b_len) {
    joined[0] = prefix;
    memcpy(joined + 1, a, a_len);
    if (b_len) memcpy(joined + 1 + a_len, b, b_len);
    return 1 + a_len + b_len;
}

/* A node's 65 bytes in one update, which fills the first block whole: a little faster than
   three updates. */
static void lowlevel(unsigned char prefix, const unsigned char* a, size_t a_len, const unsigned char* b,
                     size_t b_len, unsigned char* out) {
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    if (b_len) {
        SHA256_Update(&ctx, joined, join(prefix, a, a_len, b, b_len));
    } else {
        SHA256_Update(&ctx, &prefix, 1);
        SHA256_Update(&ctx, a, a_len);
    }
    SHA256_Final(out, &ctx);
}

static void oneshot(unsigned char prefix, const unsigned char* a, size_t a_len, const unsigned char* b,
                    size_t b_len, unsigned char* out) {
    SHA256(joined, join(prefix, a, a_len, b, b_len), out);
}

static void evp(unsigned char prefix, const unsigned char* a, size_t a_len, const unsigned char* b, size_t b_len,
                unsigned char* out) {
    EVP_DigestInit_ex2(shared_ctx, sha256_md, NULL);
    EVP_DigestUpdate(shared_ctx, &prefix, 1);
    EVP_DigestUpdate(shared_ctx, a, a_len);
    if (b_len) EVP_DigestUpdate(shared_ctx, b, b_len);
    EVP_DigestFinal_ex(shared_ctx, out, NULL);
}

static void evp_q(unsigned char prefix, const unsigned char* a, size_t a_len, const unsigned char* b,
                  size_t b_len, unsigned char* out) {
    EVP_Digest(joined, join(prefix, a, a_len, b, b_len), out, NULL, sha256_md, NULL);
}

/* 2n - 1 hashes: the leaves, then each level's pairs; an odd node moves up unhashed. */
static void root(hash_fn hash, const unsigned char* leaves, size_t n, size_t size, unsigned char* nodes,
                 unsigned char* out) {
    for (size_t i = 0; i < n; ++i) hash(0, leaves + i * size, size, NULL, 0, nodes + 32 * i);
    size_t count = n;
    while (count > 1) {
        size_t next = 0;
        for (size_t i = 0; i + 1 < count; i += 2, ++next) {
            hash(1, nodes + 32 * i, 32, nodes + 32 * (i + 1), 32, nodes + 32 * next);
        }
        if (count % 2) memmove(nodes + 32 * next++, nodes + 32 * (count - 1), 32);
        count = next;
    }
    memcpy(out, nodes, 32);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s lowlevel|oneshot|evp|evp-q <n> <size> <rounds>\n", argv[0]);
        return 2;
    }
    const size_t n = strtoull(argv[2], NULL, 10), size = strtoull(argv[3], NULL, 10);
    const int rounds = atoi(argv[4]);
    if (n == 0 || size + 1 > sizeof joined - 64) return 2;
    hash_fn hash = strcmp(argv[1], "lowlevel") == 0 ? lowlevel
                   : strcmp(argv[1], "oneshot") == 0 ? oneshot
                   : strcmp(argv[1], "evp") == 0     ? evp
                   : strcmp(argv[1], "evp-q") == 0   ? evp_q
                                                     : NULL;
    if (hash == NULL) return 2;
    sha256_md = EVP_MD_fetch(NULL, "SHA256", NULL);
    shared_ctx = EVP_MD_CTX_new();
    unsigned char* leaves = malloc(n * size + 1);
    unsigned char* nodes = malloc(n * 32);
    if (sha256_md == NULL || shared_ctx == NULL || leaves == NULL || nodes == NULL) return 1;
    for (size_t i = 0; i < n; ++i) {
        for (size_t k = 0; k < size; ++k) leaves[i * size + k] = (unsigned char)(i + k);
    }
    unsigned char out[32];
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        const double start = cpu_ns();
        root(hash, leaves, n, size, nodes, out);
        const double took = cpu_ns() - start;
        if (took < best) best = took;
    }
    for (int i = 0; i < 32; ++i) printf("%02x", out[i]);
    printf(" %.0f\n", best);
    EVP_MD_CTX_free(shared_ctx);
    EVP_MD_free(sha256_md);
    free(leaves);
    free(nodes);
    return 0;
}
