// The debug.lst reader on hostile files: the input is the file. The list
// it makes holds the file's words (separated by white space) in order, the
// first 100 of them, each cut at 63 characters (and at a NUL byte, which
// ends a name); a listed name is then found by the look-up every traced
// function makes.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "debug/trace.h"
#include "fuzz_support.h"

namespace {

// The names the list should hold.
void expected_names(const uint8_t *data, size_t size, std::vector<std::string> &names)
{
    size_t i = 0;
    while (names.size() < (size_t)DEBUG_LIST_MAX) {
        while (i < size && isspace(data[i])) i++;
        if (i == size) break;
        const size_t start = i;
        while (i < size && !isspace(data[i])) i++;
        std::string word(reinterpret_cast<const char *>(data + start), i - start);
        word = word.substr(0, std::min(word.find('\0'), (size_t)DEBUG_NAME_SIZE - 1));
        names.push_back(word);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_enter_workdir();
    fuzz_write_file("debug.lst", data, size);
    deinit_trace();
    init_trace();
    std::vector<std::string> want;
    expected_names(data, size, want);
    FUZZ_CHECK(debug_func_list_size == (int)want.size(), "%d names listed, %zu in the file", debug_func_list_size,
               want.size());
    for (int i = 0; i < debug_func_list_size; i++) {
        FUZZ_CHECK(want[i] == debug_func_list[i], "name %d is \"%s\", not \"%s\"", i, debug_func_list[i],
                   want[i].c_str());
        FUZZ_CHECK(check_debug(want[i].c_str()) == 1, "name %d is not found", i);
    }
    deinit_trace();
    return 0;
}
