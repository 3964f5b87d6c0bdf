#include "tests/support/pulse_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace pluck::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int start_timeout_ms = 10000;
constexpr int stop_timeout_ms = 3000;
constexpr int poll_interval_ms = 10;

// ALSA's own top-level configuration; ours is read after it so that its
// "default" wins over whatever the system's files chose.
constexpr const char* alsa_top_config = "/usr/share/alsa/alsa.conf";

constexpr const char* alsa_route =
    "# Written by the test fixture: \"default\" plays to the private server.\n"
    "pcm.!default { type pulse }\n"
    "ctl.!default { type pulse }\n";

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string errno_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The current environment without the variables named in `drop`, plus `add`.
std::vector<std::string> environment_with(const std::vector<std::string>& drop,
                                          const std::vector<std::string>& add) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (std::find(drop.begin(), drop.end(), entry.substr(0, entry.find('='))) == drop.end()) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), add.begin(), add.end());
    return env;
}

// Starts `program` in a process group of its own, with standard input from
// /dev/null and standard output and error into the given files. The child
// is killed if the thread that started it ends. Returns its pid, or -1.
pid_t spawn(const std::string& name, std::vector<std::string> args, std::vector<std::string> env,
            const std::string& out_path, const std::string& err_path, std::string& error) {
    std::string program = "/usr/bin/" + name;
    if (access(program.c_str(), X_OK) != 0) {
        error = program + " not found (Debian packages pulseaudio, pulseaudio-utils)";
        return -1;
    }
    // Everything the child needs is made before fork: after it, only
    // async-signal-safe calls.
    std::vector<char*> argv{program.data()};
    std::vector<char*> envp;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    int in_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0) {
        error = errno_text(("cannot open files for " + name).c_str());
        close(in_fd);  // those that did open; close(-1) does nothing
        close(out_fd);
        close(err_fd);
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        // Descriptors the test holds (a pseudo-terminal, say) must not
        // stay open in the child.
        close_range(3, ~0U, 0);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    const int fork_errno = errno;
    close(in_fd);
    close(out_fd);
    close(err_fd);
    if (pid < 0) {
        errno = fork_errno;
        error = errno_text("fork");
        return -1;
    }
    setpgid(pid, pid);  // also here, so that a kill of the group cannot come first
    return pid;
}

bool exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

// SIGTERM (or `first_signal`) to the group, then SIGKILL if it outlives the
// grace time; always reaps the leader.
void end_group(pid_t& pid, int first_signal) {
    if (pid <= 0) {
        return;
    }
    kill(-pid, first_signal);
    const auto deadline = Clock::now() + std::chrono::milliseconds(stop_timeout_ms);
    bool gone = false;
    while (!(gone = exited(pid)) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_interval_ms));
    }
    kill(-pid, SIGKILL);  // the leader if it outlived the grace time, and all it left in its group
    if (!gone) {
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

bool socket_accepts(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

off_t file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

constexpr const char* dir_prefix = "pluck-pulse-";

// Directories left by test processes that died before they could remove
// them (killed by a time-out, say): each names its owner in "owner".
void remove_abandoned_dirs() {
    std::error_code ec;
    std::vector<std::filesystem::path> abandoned;
    for (std::filesystem::directory_iterator it("/tmp", ec), end; !ec && it != end; it.increment(ec)) {
        const std::filesystem::path& path = it->path();
        if (path.filename().string().rfind(dir_prefix, 0) != 0) {
            continue;
        }
        std::ifstream owner_file(path / "owner");
        pid_t owner = -1;
        if ((owner_file >> owner) && owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) {
            abandoned.push_back(path);
        }
    }
    for (const std::filesystem::path& path : abandoned) {
        std::filesystem::remove_all(path, ec);
    }
}

// The private directory, and the ALSA route to its socket.
bool prepare_dir(PulseServer& pulse) {
    if (!pulse.dir.empty()) {
        return true;
    }
    remove_abandoned_dirs();
    char pattern[] = "/tmp/pluck-pulse-XXXXXX";  // short: socket paths are limited to 107 bytes
    if (mkdtemp(pattern) == nullptr) {
        pulse.error = errno_text("mkdtemp");
        return false;
    }
    pulse.dir = pattern;
    pulse.owner_pid = getpid();
    std::ofstream(pulse.dir + "/owner") << pulse.owner_pid << "\n";
    pulse.socket_path = pulse.dir + "/sock";
    pulse.alsa_config = pulse.dir + "/asound.conf";
    std::ofstream config(pulse.alsa_config);
    config << alsa_route;
    config.close();
    if (!config) {
        pulse.error = "cannot write " + pulse.alsa_config;
        return false;
    }
    return true;
}

}  // namespace

PulseServer::~PulseServer() {
    stop_pulse_server(*this);
}

bool start_pulse_server(PulseServer& pulse) {
    if (pulse.server_pid > 0) {
        return true;
    }
    if (!prepare_dir(pulse)) {
        return false;
    }
    // The server keeps its runtime files, state and configuration inside
    // the private directory and never looks for a session bus or display.
    std::error_code ignored;
    std::filesystem::create_directories(pulse.dir + "/runtime", ignored);
    std::filesystem::create_directories(pulse.dir + "/config", ignored);
    chmod((pulse.dir + "/runtime").c_str(), 0700);
    const std::vector<std::string> env = environment_with(
        {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH",
         "PULSE_SERVER", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY"},
        {"HOME=" + pulse.dir, "XDG_RUNTIME_DIR=" + pulse.dir + "/runtime",
         "XDG_CONFIG_HOME=" + pulse.dir + "/config", "PULSE_STATE_PATH=" + pulse.dir + "/state"});
    // The sink's own format is the instrument's, so a float32 stereo 44.1 kHz
    // stream at full volume reaches the monitor without any conversion.
    const std::vector<std::string> args = {
        "-n",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "--use-pid-file=no",
        "--system=no",
        "--realtime=no",
        "--high-priority=no",
        "--log-target=stderr",
        "-L",
        std::string("module-null-sink sink_name=") + pulse_sink_name +
            " rate=44100 format=float32le channels=2 channel_map=front-left,front-right norewinds=1",
        "-L",
        "module-native-protocol-unix auth-anonymous=1 socket=" + pulse.socket_path};
    const std::string log = pulse.dir + "/server.log";
    pulse.server_pid = spawn("pulseaudio", args, env, log, log, pulse.error);
    if (pulse.server_pid < 0) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(start_timeout_ms);
    while (!socket_accepts(pulse.socket_path)) {
        if (exited(pulse.server_pid)) {
            pulse.server_pid = -1;
            pulse.error = "pulseaudio exited at start; its log:\n" + pulse_server_log(pulse);
            return false;
        }
        if (Clock::now() > deadline) {
            pulse.error =
                "pulseaudio did not accept connections within 10 s; its log:\n" + pulse_server_log(pulse);
            end_group(pulse.server_pid, SIGTERM);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_interval_ms));
    }
    return true;
}

std::vector<std::string> pulse_environment(const PulseServer& pulse) {
    return {"PULSE_SERVER=unix:" + pulse.socket_path,
            "ALSA_CONFIG_PATH=" + std::string(alsa_top_config) + ":" + pulse.alsa_config};
}

void use_pulse_environment(const PulseServer& pulse) {
    for (const std::string& entry : pulse_environment(pulse)) {
        const size_t eq = entry.find('=');
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
}

bool start_recording(PulseServer& pulse) {
    if (pulse.server_pid <= 0) {
        pulse.error = "start_recording: no server running";
        return false;
    }
    if (pulse.recorder_pid > 0) {
        pulse.error = "start_recording: already recording";
        return false;
    }
    pulse.recording_path = pulse.dir + "/recording-" + std::to_string(++pulse.recordings) + ".raw";
    // A short latency makes parec write what it gets at once, so the file
    // grows from the first frame on and tells when recording has begun.
    const std::vector<std::string> args = {"--raw",
                                           "--format=float32le",
                                           "--rate=44100",
                                           "--channels=2",
                                           "--latency-msec=" + std::to_string(pulse.record_latency_ms),
                                           "-d",
                                           std::string(pulse_sink_name) + ".monitor"};
    const std::vector<std::string> env =
        environment_with({"PULSE_SERVER"}, {"PULSE_SERVER=unix:" + pulse.socket_path});
    pulse.recorder_pid =
        spawn("parec", args, env, pulse.recording_path, pulse.dir + "/parec.log", pulse.error);
    if (pulse.recorder_pid < 0) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(start_timeout_ms);
    while (file_size(pulse.recording_path) < 8) {
        if (exited(pulse.recorder_pid)) {
            pulse.recorder_pid = -1;
            pulse.error = "parec exited at start: " + read_text(pulse.dir + "/parec.log");
            return false;
        }
        if (Clock::now() > deadline) {
            pulse.error = "parec recorded nothing within 10 s";
            end_group(pulse.recorder_pid, SIGINT);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_interval_ms));
    }
    return true;
}

bool stop_recording(PulseServer& pulse, int settle_ms) {
    if (pulse.recorder_pid <= 0) {
        pulse.error = "stop_recording: not recording";
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms));
    end_group(pulse.recorder_pid, SIGINT);
    return true;
}

std::vector<float> read_recording(const PulseServer& pulse) {
    const std::string bytes = read_text(pulse.recording_path);
    std::vector<float> samples(bytes.size() / 8 * 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

void stop_pulse_server(PulseServer& pulse) {
    if (pulse.owner_pid != getpid()) {
        return;  // a forked child's copy, or nothing started
    }
    end_group(pulse.recorder_pid, SIGINT);
    end_group(pulse.server_pid, SIGTERM);
    if (!pulse.dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(pulse.dir, ignored);
        pulse.dir.clear();
    }
}

std::string pulse_server_log(const PulseServer& pulse, size_t max_bytes) {
    const std::string text = read_text(pulse.dir + "/server.log");
    return text.size() > max_bytes ? text.substr(text.size() - max_bytes) : text;
}

}  // namespace pluck::test
