// Takes identity values in a loop until it is killed, for the test that kills it: after each take
// it appends what it took to a log, one value a line, in one write. After the first it writes one
// byte to standard output, so that the test knows it is taking.
//   tavo_identity_take_loop counter|list FILE FORMAT LOG
#include "cli/Identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    using namespace tavo::flash;
    if (argc != 5)
        return 64;
    const std::string mode = argv[1], file = argv[2];
    auto format = ParseIdentityFormat(argv[3]);
    int log = ::open(argv[4], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (!format || log < 0)
        return 64;
    for (bool first = true;; first = false) {
        std::string taken;
        if (mode == "list") {
            auto values = TakeFromList(file, 2, *format);
            if (auto* error = std::get_if<IdentityError>(&values)) {
                std::fprintf(stderr, "%s\n", error->text.c_str());
                return 12;
            }
            for (const auto& value : std::get<std::vector<std::string>>(values))
                taken += value + "\n";
        } else {
            auto numbers = TakeFromCounter(file, 2, *format);
            if (auto* error = std::get_if<IdentityError>(&numbers)) {
                std::fprintf(stderr, "%s\n", error->text.c_str());
                return 12;
            }
            for (auto number : std::get<std::vector<std::uint64_t>>(numbers))
                taken += std::to_string(number) + "\n";
        }
        if (::write(log, taken.data(), taken.size()) != static_cast<ssize_t>(taken.size()))
            return 70;
        if (first && ::write(1, ".", 1) != 1)
            return 70;
    }
}
