// Helpers shared by the fuzz harnesses: a private working folder, files
// made from the input, a reader that takes the input apart, and the check
// that turns a broken property into a crash the fuzzer (or the corpus
// replay) reports.
//
// Every harness defines LLVMFuzzerTestOneInput. Built with clang's
// libFuzzer it is a fuzzer; built with replay_main.cpp it replays stored
// inputs as an ordinary test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// A broken property: say which, then abort so that the run stops with the
// input that caused it.
#define FUZZ_CHECK(cond, ...)                                                 \
    do {                                                                      \
        if (!(cond)) {                                                        \
            fprintf(stderr, "fuzz check failed at %s:%d: %s\n", __FILE__,     \
                    __LINE__, #cond);                                         \
            fprintf(stderr, __VA_ARGS__);                                     \
            fputc('\n', stderr);                                              \
            abort();                                                          \
        }                                                                     \
    } while (0)

// Makes a fresh folder "fuzz-work-XXXXXX" in the current directory, moves
// into it (the emulator reads debug.lst and writes trace.log in the working
// directory) and removes it at exit. Returns its absolute path. Only the
// first call creates it.
const std::string &fuzz_enter_workdir();

// Writes `size` bytes to `path` (relative to the working folder); aborts
// when it cannot, since the harness would test nothing.
void fuzz_write_file(const char *path, const uint8_t *data, size_t size);

// Starts the video chip, as the headless runner does; only the first call
// does anything.
void fuzz_start_video();

// A file for the loaders made from the input and written to `path` in the
// working folder: the first two bytes choose its size (an index into
// `sizes`, or past its end the length of the rest), the rest gives its
// bytes, repeated to that size. Returns the file's bytes.
std::vector<uint8_t> fuzz_loader_file(const uint8_t *data, size_t size, const size_t *sizes, size_t count,
                                      const char *path);

// Reads an input front to back; past the end every read gives zeros.
struct fuzz_reader {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;

    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    unsigned word()   // little-endian 16 bits
    {
        const unsigned lo = byte();
        return lo | (unsigned)byte() << 8;
    }
    // Copies up to n bytes to `out` (as many as are left).
    void take(uint8_t *out, size_t n)
    {
        n = n < left() ? n : left();
        if (n) memcpy(out, data + pos, n);
        pos += n;
    }
    size_t left() const { return size - pos; }
    const uint8_t *rest() const { return data + pos; }
};
