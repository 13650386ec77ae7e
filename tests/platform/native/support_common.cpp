// The parts of the suite's support that are the same on every system.

#include "support.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace support {

bool waitUntil(const std::function<bool()> &ready, int ms)
{
    double scale = 1.0;
    if (const char *s = std::getenv("ORX_TIME_SCALE"))
        scale = std::max(1.0, std::atof(s));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(int(ms * scale));
    for (;;) {
        if (ready())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string readAll(const Path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const Path &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

namespace {

// Writes the text whole: a reader polling for the file sees nothing or all of it.
void publish(const Path &path, const std::string &text)
{
    Path tmp = path;
    tmp += ".part";
    writeAll(tmp, text);
    int error = 0;
    platform::native::renameReplacing(tmp, path, &error);
}

void sleepUntilKilled()
{
    // Bounded, so a child that nobody killed does not outlive the suite for long.
    for (int i = 0; i < 1200; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

} // namespace

int commonChildMain(const std::vector<std::string> &role)
{
    if (role.at(0) == "sleep") {
        sleepUntilKilled();
        return 0;
    }
    if (role.at(0) == "chain" && role.size() >= 3) {
        // chain DEPTH FILE [in-job]: (once in a job) starts chain DEPTH-1, writes FILE.DEPTH with its
        // own pid, sleeps.
        if (role.size() >= 4 && role[3] == "in-job" && !waitUntilInJob())
            return 3;
        const int depth = std::atoi(role[1].c_str());
        std::vector<Child> below;
        if (depth > 0)
            below.push_back(spawnSelf({"chain", std::to_string(depth - 1), role[2]}));
        publish(Path(role[2] + "." + std::to_string(depth)), std::to_string(ownPid()));
        sleepUntilKilled();
        return 0;
    }
    if (role.at(0) == "holder" && role.size() >= 2) {
        // A launcher in small: a job holding a game (chain 1: the game and its child).
        platform::native::Job *job = platform::native::createJob();
        SpawnOptions options;
        options.jobChild = true;
        Child game = spawnSelf({"chain", "1", role[1], "in-job"}, options);
        if (!platform::native::addToJob(job, game.pid))
            return 4;
        new Child(std::move(game)); // never destroyed: the job, not this program, must end the game
        publish(Path(role[1] + ".holder"), std::to_string(ownPid()));
        sleepUntilKilled();
        return 0;
    }
    return -1;
}

} // namespace support

namespace support {

std::int64_t readPid(const Path &path)
{
    const std::string text = readAll(path);
    return text.empty() ? 0 : std::atoll(text.c_str());
}

} // namespace support
