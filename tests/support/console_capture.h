// Captures the exact bytes the product prints to standard output. File
// descriptor 1 is pointed at a temporary file for as long as the capture
// lasts, so everything printf writes, flushed or not, is caught. Use it inside
// a RunInFreshProcess scenario and stop it before any EXPECT: GoogleTest
// prints its own failure messages to standard output, and while capturing
// they would end up in the capture instead of the test log.
#pragma once

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class ConsoleCapture {
public:
    ConsoleCapture()
    {
        std::fflush(stdout);
        file_ = std::tmpfile();
        saved_ = dup(STDOUT_FILENO);
        if (file_ != nullptr && saved_ != -1) {
            dup2(fileno(file_), STDOUT_FILENO);
        }
    }

    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    ~ConsoleCapture() { Stop(); }

    // Everything printed so far, while the capture goes on: what a console
    // would show at this point.
    std::string Text()
    {
        std::fflush(stdout);
        if (file_ == nullptr) {
            return text_;
        }
        struct stat info {};
        if (fstat(fileno(file_), &info) != 0) {
            return std::string();
        }
        std::string text(static_cast<std::size_t>(info.st_size), '\0');
        ssize_t got = pread(fileno(file_), text.data(), text.size(), 0);
        text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return text;
    }

    // Ends the capture, puts standard output back and returns everything
    // printed during it.
    std::string Stop()
    {
        if (file_ == nullptr) {
            return text_;
        }
        text_ = Text();
        if (saved_ != -1) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            saved_ = -1;
        }
        std::fclose(file_);
        file_ = nullptr;
        return text_;
    }

private:
    std::FILE* file_ = nullptr;
    int saved_ = -1;
    std::string text_;
};

// The bytes `action` prints to standard output.
template <class Action>
std::string CaptureStdout(Action action)
{
    ConsoleCapture capture;
    action();
    return capture.Stop();
}
