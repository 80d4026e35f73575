#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

// Starts aArgs[0] with its standard output on nStdout and its errors discarded; -1 on failure.
inline pid_t SpawnChild(std::vector<std::string> aArgs, int nStdout) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, nStdout, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    argv.reserve(aArgs.size() + 1);
    for (auto& s : aArgs)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

struct ChildRun {
    bool bStarted = false;
    std::string strOut;
    int nStatus = 0;
    rusage usage{};  // all threads of the child
};

// Runs a program to its end, collecting its standard output.
inline ChildRun RunChild(const std::vector<std::string>& aArgs) {
    ChildRun run;
    int aPipe[2];
    if (::pipe(aPipe) != 0) return run;
    const pid_t pid = SpawnChild(aArgs, aPipe[1]);
    ::close(aPipe[1]);
    char ab[4096];
    for (ssize_t n; pid > 0 && (n = ::read(aPipe[0], ab, sizeof ab)) > 0;)
        run.strOut.append(ab, static_cast<size_t>(n));
    ::close(aPipe[0]);
    run.bStarted = pid > 0 && ::wait4(pid, &run.nStatus, 0, &run.usage) == pid;
    return run;
}
