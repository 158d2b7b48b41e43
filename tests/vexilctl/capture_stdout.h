/*
 * capture_stdout.h - collects what a piece of code prints to standard output
 * (file descriptor 1 and the stdio buffer) for the length of a scope.
 */
#ifndef VEXILCTL_TEST_CAPTURE_STDOUT_H
#define VEXILCTL_TEST_CAPTURE_STDOUT_H

#include <stdio.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

class StdoutCapture {
public:
    StdoutCapture()
    {
        fflush(stdout);
        file_ = tmpfile();
        saved_fd_ = dup(STDOUT_FILENO);
        if (file_ == NULL || saved_fd_ < 0 || dup2(fileno(file_), STDOUT_FILENO) < 0)
            throw std::runtime_error("cannot redirect standard output");
    }
    ~StdoutCapture() { finish(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    /* Restores standard output and returns what was printed since the start. */
    std::string finish()
    {
        if (file_ == NULL)
            return text_;
        fflush(stdout);
        dup2(saved_fd_, STDOUT_FILENO);
        close(saved_fd_);
        rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file_)) > 0)
            text_.append(buf, n);
        fclose(file_);
        file_ = NULL;
        return text_;
    }

private:
    FILE* file_ = NULL;
    int saved_fd_ = -1;
    std::string text_;
};

#endif
