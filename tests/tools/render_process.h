// Runs the pluck-render program as a child process, the way a user does,
// and collects what it printed and how it ended.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace pluck {

struct RenderProcess {
    pid_t pid = -1;
    int output_fd = -1;  // the child's stderr, and its stdout after it

    // Starts the program with `args`; standard input from `stdin_path` (or
    // /dev/null); output files limited to `file_size_limit` bytes if not 0.
    bool start(const std::vector<std::string>& args, const std::string& stdin_path = "/dev/null",
               rlim_t file_size_limit = 0) {
        std::vector<char*> argv;
        std::string program = PLUCK_RENDER_PATH;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (std::string& a : copies) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0) {
            return false;
        }
        pid = fork();
        if (pid == 0) {
            const int in = open(stdin_path.c_str(), O_RDONLY);
            dup2(in, STDIN_FILENO);
            dup2(pipe_fds[1], STDOUT_FILENO);
            dup2(pipe_fds[1], STDERR_FILENO);
            if (file_size_limit != 0) {
                // SIGXFSZ left as it is: the program itself must keep the
                // limit from killing it beside a partial file.
                const rlimit limit{file_size_limit, file_size_limit};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pipe_fds[1]);
        output_fd = pipe_fds[0];
        return pid > 0;
    }

    // Waits for the end; returns the wait status and fills `output`.
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
