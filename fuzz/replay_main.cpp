// Replays stored inputs through a fuzz harness without the fuzzer, so that
// a corpus runs as an ordinary test in every build (sanitized or not).
//
//     fuzz-replay-NAME FILE_OR_FOLDER...
//
// Every file named, and every file in a folder named (in name order), is
// given to the harness once. A broken property aborts the program; a run
// that finds no input at all fails too, since it would have tested nothing.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_support.h"

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++) {
        const fs::path p = fs::absolute(argv[i]);   // the harness may change the working folder
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            std::vector<fs::path> files;
            for (const auto &e : fs::directory_iterator(p, ec))
                if (e.is_regular_file()) files.push_back(e.path());
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else if (fs::is_regular_file(p, ec)) {
            inputs.push_back(p);
        } else {
            fprintf(stderr, "%s: not a file or folder\n", argv[i]);
            return 1;
        }
    }
    if (inputs.empty()) {
        fprintf(stderr, "no input to replay\n");
        return 1;
    }
    for (const fs::path &p : inputs) {
        std::ifstream f(p, std::ios::binary);
        if (!f) {
            fprintf(stderr, "%s: cannot read\n", p.c_str());
            return 1;
        }
        const std::vector<char> bytes((std::istreambuf_iterator<char>(f)), {});
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
