// Writes the scdoc source of zel-commands(7) to the file named by its one
// argument. Run by the build.
#include <cstdio>

#include "gen/command_page.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: write_command_page OUTPUT\n");
        return 64;
    }
    const std::string page = CommandPageScdoc();
    FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool ok = std::fwrite(page.data(), 1, page.size(), f) == page.size();
    if (std::fclose(f) != 0 || !ok) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
