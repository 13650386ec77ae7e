// The suite's runner and entry point: a case name filter as the only argument, or "--child ROLE..."
// when the suite starts itself as a child process.

#include "runner.h"
#include "support.h"

#include <chrono>

int runner::run(int argc, char **argv)
{
    int passed = 0, failed = 0, skipped = 0;
    for (const Case &c : cases()) {
        if (argc > 1 && std::string(c.name).find(argv[1]) == std::string::npos)
            continue;
        std::cout << c.name << std::endl;
        const int before = failures();
        const auto start = std::chrono::steady_clock::now();
        try {
            c.body();
        } catch (const Skip &skip) {
            if (failures() == before) {
                std::cout << "  SKIP " << skip.reason << std::endl;
                ++skipped;
                continue;
            }
        } catch (const Stop &) {
        } catch (const std::exception &e) {
            fail(__FILE__, __LINE__, std::string("exception: ") + e.what());
        }
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        if (failures() == before) {
            std::cout << "  ok (" << ms << " ms)" << std::endl;
            ++passed;
        } else {
            ++failed;
        }
    }
    std::cout << passed << " passed, " << failed << " failed, " << skipped << " skipped" << std::endl;
    return failed == 0 && passed > 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc > 2 && std::string(argv[1]) == "--child")
        return support::childMain(std::vector<std::string>(argv + 2, argv + argc));
    std::cout.setf(std::ios::unitbuf);
    return runner::run(argc, argv);
}
