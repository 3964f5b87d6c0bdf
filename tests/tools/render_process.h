// Runs the pluck-render program as a child process, the way a user does,
// and collects what it printed and how it ended.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace pluck {

struct RenderProcess {
    pid_t pid = -1;
    int output_fd = -1;  // the child's stdout and stderr

    // Starts the program with `args`, standard input from `stdin_path`, its
    // output files limited to `file_size_limit` bytes if not 0, and its
    // output going to a pipe or, if `on_terminal`, to a pseudo-terminal.
    bool start(const std::vector<std::string>& args, const std::string& stdin_path = "/dev/null",
               rlim_t file_size_limit = 0, bool on_terminal = false) {
        std::vector<std::string> copies = args;
        std::vector<char*> argv{const_cast<char*>(PLUCK_RENDER_PATH)};
        for (std::string& a : copies) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int fds[2];  // read end, write end
        if ((on_terminal ? openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) : pipe(fds)) != 0) {
            return false;
        }
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            dup2(open(stdin_path.c_str(), O_RDONLY), STDIN_FILENO);
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            if (file_size_limit != 0) {
                // SIGXFSZ left as it is: the program itself must keep the
                // limit from killing it beside a partial file.
                const rlimit limit{file_size_limit, file_size_limit};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        output_fd = fds[0];
        return pid > 0;
    }

    // Waits for the end; returns the wait status and fills `output`. (On a
    // terminal the read ends with EIO once the program has closed it.)
    int finish(std::string& output) {
        char block[4096];
        ssize_t got = 0;
        while ((got = read(output_fd, block, sizeof block)) > 0) {
            output.append(block, static_cast<size_t>(got));
        }
        close(output_fd);
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    }
};

struct RenderRun {
    int exit_code = -1;  // -1 if it did not exit normally
    std::string output;
};

inline RenderRun run_render(const std::vector<std::string>& args, const std::string& stdin_path = "/dev/null",
                            rlim_t file_size_limit = 0) {
    RenderProcess process;
    RenderRun run;
    if (!process.start(args, stdin_path, file_size_limit)) {
        run.output = "could not start " PLUCK_RENDER_PATH;
        return run;
    }
    const int status = process.finish(run.output);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace pluck
