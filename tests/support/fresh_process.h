// Runs a scenario in a forked child, so that it meets the product's
// process-wide records as a new service process does: zero, never cleared.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

template <class Scenario>
void RunInFreshProcess(Scenario scenario)
{
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = fork();
    ASSERT_NE(child, -1) << "fork failed";
    if (child == 0) {
        scenario();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "scenario ended by signal " << WTERMSIG(status);
    ASSERT_EQ(WEXITSTATUS(status), 0) << "scenario failed in its process (see above)";
}
