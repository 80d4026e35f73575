#include "RunCli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <utility>

#include "Firmware.h"

namespace fs = std::filesystem;

namespace {

std::vector<nlohmann::json> JsonLines(std::istream&& in) {
    std::vector<nlohmann::json> a;
    for (std::string strLine; std::getline(in, strLine);) {
        a.push_back(nlohmann::json::parse(strLine, nullptr, false));
        EXPECT_FALSE(a.back().is_discarded()) << strLine;
    }
    return a;
}

}  // namespace

std::vector<nlohmann::json> CliRun::Events() const {
    return JsonLines(std::istringstream(strOut));
}

std::vector<nlohmann::json> CliRun::Records() const {
    return JsonLines(std::ifstream(fs::path(strStateDir) / "korvi-flasher/jobs.jsonl"));
}

std::string FirmwareFile(int nType, int nDataLines) {
    return WriteTempFile(JoinLines(MakeFirmware(nType, nDataLines), "\r\n"));
}

CliRun RunCli(const std::vector<std::string>& aArgs, const CliOptions& options) {
    static std::atomic<int> s_nRun = 0;
    CliRun run;
    run.strStateDir = options.strStateDir;
    if (run.strStateDir.empty())
        run.strStateDir = (ProcessTempDir() / ("state" + std::to_string(s_nRun++))).string();
    const fs::path cwd = ProcessTempDir() / "cwd";
    fs::create_directories(cwd);

    int aOut[2], aErr[2];
    EXPECT_EQ(::pipe2(aOut, O_CLOEXEC), 0);
    if (options.bErrTerminal) {
        EXPECT_EQ(::openpty(&aErr[0], &aErr[1], nullptr, nullptr, nullptr), 0);
        for (const int nFd : aErr)  // not into the children of runs beside this one
            ::fcntl(nFd, F_SETFD, FD_CLOEXEC);
    } else {
        EXPECT_EQ(::pipe2(aErr, O_CLOEXEC), 0);
    }
    // Built before the fork: other threads may hold the allocator then.
    std::vector<std::string> aArgv = {KORVI_FLASH_EXE};
    aArgv.insert(aArgv.end(), aArgs.begin(), aArgs.end());
    std::vector<std::string> aEnv = {"XDG_STATE_HOME=" + run.strStateDir, "HOME=/nonexistent",
                                     "PATH=/usr/bin:/bin"};
    aEnv.insert(aEnv.end(), options.aEnv.begin(), options.aEnv.end());
    auto pointers = [](std::vector<std::string>& a) {
        std::vector<char*> ap(a.size() + 1, nullptr);  // ends with the null the exec wants
        std::ranges::transform(a, ap.begin(), [](std::string& s) { return s.data(); });
        return ap;
    };
    std::vector<char*> argv = pointers(aArgv), envp = pointers(aEnv);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(aOut[1], 1);
        ::dup2(aErr[1], 2);
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(aOut[1]);
    ::close(aErr[1]);
    bool bSignalled = options.strSignalAfter.empty();
    pollfd fds[2] = {{aOut[0], POLLIN, 0}, {aErr[0], POLLIN, 0}};
    for (int nOpen = 2; nOpen > 0;) {
        if (::poll(fds, 2, 60000) <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char ab[4096];
            const ssize_t n = ::read(fds[i].fd, ab, sizeof ab);
            if (n > 0) {
                (i == 0 ? run.strOut : run.strErr).append(ab, static_cast<size_t>(n));
            } else {  // a pty's reader sees EIO once the child is gone
                ::close(std::exchange(fds[i].fd, -1));
                --nOpen;
            }
        }
        if (!bSignalled && run.strOut.find(options.strSignalAfter) != std::string::npos)
            bSignalled = ::kill(pid, options.nSignal) == 0;
    }
    int nStatus = 0;
    ::waitpid(pid, &nStatus, 0);
    run.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
    return run;
}

std::vector<CliRun> RunClis(const std::vector<CliCall>& aCalls) {
    std::vector<std::future<CliRun>> aFutures;
    aFutures.reserve(aCalls.size());
    for (const CliCall& c : aCalls)
        aFutures.push_back(
            std::async(std::launch::async, [&c] { return RunCli(c.aArgs, c.options); }));
    std::vector<CliRun> aRuns(aCalls.size());
    std::ranges::transform(aFutures, aRuns.begin(), [](auto& f) { return f.get(); });
    return aRuns;
}
