// A private PulseAudio server for tests that play real sound.
//
// The server has one null sink, "pluck_test" (float32le, stereo, 44.1 kHz),
// whose monitor the fixture records with parec, so a test can read back, as
// exact float32 frames, what a program sent to ALSA's "default" PCM.
//
// "default" is routed to the server through an ALSA configuration file of
// the fixture's own, not through the system's "use pulse when it runs" hook:
// that way the route does not depend on the machine having or lacking a sound
// card, and a server that is not there makes opening "default" fail rather
// than fall back to another device.
//
// Use, in a test:
//
//     pluck::test::PulseServer pulse;                 // stops everything when it goes
//     ASSERT_TRUE(start_pulse_server(pulse)) << pulse.error;
//     use_pulse_environment(pulse);                   // this process plays to it
//     ASSERT_TRUE(start_recording(pulse)) << pulse.error;
//     ... play ...
//     ASSERT_TRUE(stop_recording(pulse)) << pulse.error;
//     std::vector<float> frames = read_recording(pulse);   // interleaved L, R
//
// A child process (for example the program under a pseudo-terminal) gets the
// same route from `pulse_environment(pulse)`, "NAME=value" strings to add to
// its environment.
//
// Everything the fixture starts runs in its own process group and is killed
// with it; the server also dies with the thread that started it, so a test
// that crashes leaves no server behind, and the directory of a process that
// died is removed by the next fixture that starts. A forked child's copy of
// a PulseServer stops nothing. Not thread-safe: use one PulseServer from one
// thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace pluck::test {

inline constexpr const char* pulse_sink_name = "pluck_test";

struct PulseServer {
    std::string dir;          // private temporary directory; removed on stop
    std::string socket_path;  // the server's native-protocol socket
    std::string alsa_config;  // ALSA file that sends "default" to the server
    pid_t owner_pid = -1;     // the process that made it; only it stops anything
    pid_t server_pid = -1;    // also the server's process group
    pid_t recorder_pid = -1;  // parec, in a process group of its own
    std::string recording_path;
    int record_latency_ms = 20;  // parec's fragment: how soon recorded frames reach the file
    int recordings = 0;
    std::string error;  // why the last call that returned false failed

    PulseServer() = default;
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;
    ~PulseServer();
};

// Starts the server and waits (up to 10 s) until it accepts connections.
bool start_pulse_server(PulseServer& pulse);

// PULSE_SERVER and ALSA_CONFIG_PATH, as "NAME=value", for a child process.
std::vector<std::string> pulse_environment(const PulseServer& pulse);

// Sets the same variables in this process. Call it before any thread of
// the process opens an ALSA device.
void use_pulse_environment(const PulseServer& pulse);

// Starts recording the sink's monitor into a new file and waits (up to 10 s)
// until the first frames have arrived, so that nothing played after this
// returns is missed. The recording starts with the sink's silence.
bool start_recording(PulseServer& pulse);

// Waits `settle_ms` for audio already sent to reach the monitor, then ends
// the recorder.
bool stop_recording(PulseServer& pulse, int settle_ms = 400);

// The frames recorded so far (interleaved left, right), whole frames only.
// Read them before stopping the server: that removes the file.
std::vector<float> read_recording(const PulseServer& pulse);

// Ends the recorder and the server, and removes the directory. Safe to call
// again; the destructor calls it.
void stop_pulse_server(PulseServer& pulse);

// The last `max_bytes` of the server's log, for failure messages.
std::string pulse_server_log(const PulseServer& pulse, size_t max_bytes = 2000);

}  // namespace pluck::test
