#include "pluck/options.h"

#include <cstdio>
#include <string_view>

namespace pluck {

namespace {

enum class Takes { nothing, value };

struct KnownOption {
    const char* long_name;
    char short_name;  // 0: none
    Takes takes;
};

constexpr KnownOption known_options[] = {
    {"latency", 'l', Takes::value},      {"device", 'd', Takes::value}, {"record", 'r', Takes::value},
    {"list-devices", 0, Takes::nothing}, {"help", 'h', Takes::nothing}, {"version", 0, Takes::nothing},
};

bool parse_latency(std::string_view text, int32_t& ms) {
    if (text.empty() || text.size() > 4) {
        return false;
    }
    int32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > max_latency_ms) {
        return false;
    }
    ms = value;
    return true;
}

// Applies one option and its value; false with `error` set if it is bad.
bool apply(const KnownOption& known, std::string_view value, Options& options, std::string& error) {
    const std::string_view name = known.long_name;
    if (name == "latency") {
        if (!parse_latency(value, options.latency_ms)) {
            error = "bad --latency \"" + std::string(value) + "\": expected whole milliseconds, 1 to " +
                    std::to_string(max_latency_ms);
            return false;
        }
    } else if (name == "device" || name == "record") {
        if (value.empty()) {
            error = "option --" + std::string(name) + " needs a value";
            return false;
        }
        (name == "device" ? options.device : options.record_path) = std::string(value);
    } else if (name == "list-devices") {
        options.list_devices = true;
    } else if (name == "help") {
        options.help = true;
    } else {
        options.version = true;
    }
    return true;
}

const KnownOption* find_long(std::string_view name) {
    for (const KnownOption& known : known_options) {
        if (name == known.long_name) {
            return &known;
        }
    }
    return nullptr;
}

const KnownOption* find_short(char name) {
    for (const KnownOption& known : known_options) {
        if (known.short_name != 0 && known.short_name == name) {
            return &known;
        }
    }
    return nullptr;
}

}  // namespace

int parse_options(int argc, const char* const* argv, Options& options, std::string& error) {
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            error = "unexpected argument \"" + std::string(arg) + "\": pluck takes options only";
            return exit_usage;
        }
        const KnownOption* option = nullptr;
        std::string_view value;
        bool has_value = false;
        std::string written;  // as the user wrote it, for messages
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg.substr(0, 2) == "--") {
            const size_t equals = arg.find('=');
            written = std::string(arg.substr(0, equals));
            option = find_long(arg.substr(2, equals == std::string_view::npos ? arg.npos : equals - 2));
            if (equals != std::string_view::npos) {
                value = arg.substr(equals + 1);
                has_value = true;
            }
        } else {
            written = std::string(arg.substr(0, 2));
            option = find_short(arg[1]);
            if (arg.size() > 2) {
                if (option != nullptr && option->takes == Takes::nothing) {
                    error = "option " + written + " takes no value";
                    return exit_usage;
                }
                value = arg.substr(2);
                has_value = true;
            }
        }
        if (option == nullptr) {
            error = "unknown option " + written;
            return exit_usage;
        }
        if (option->takes == Takes::nothing && has_value) {
            error = "option " + written + " takes no value";
            return exit_usage;
        }
        if (option->takes == Takes::value && !has_value) {
            if (i + 1 == argc) {
                error = "option " + written + " needs a value";
                return exit_usage;
            }
            value = argv[++i];
        }
        if (!apply(*option, value, options, error)) {
            return exit_usage;
        }
    }
    return exit_ok;
}

std::string help_text() {
    std::string text =
        "usage: pluck [--latency MS] [--device NAME] [--record FILE.wav]\n"
        "       pluck --list-devices | --help | --version\n"
        "A plucked-string instrument played from the keyboard: Z X C V B N M K pluck\n"
        "the eight strings, holding Space plays by itself, Escape quits.\n"
        "  -l, --latency MS     queue about MS ms of sound ahead of the device (1 to 743;\n"
        "                       default: six 512-frame buffers, 69.7 ms). Each setting:\n";
    for (const int32_t ms : {70, 46, 35, 17, 10}) {
        const RingLayout ring = ring_for_latency(ms);
        char line[160];
        std::snprintf(line, sizeof line, "%25s%-3d %d x %d frames, %.1f ms\n", "", static_cast<int>(ms),
                      static_cast<int>(ring.buffers), static_cast<int>(ring.buffer_frames),
                      ring_ms(ring.frames()));
        text += line;
    }
    text +=
        "                       A smaller ring answers sooner and loses sound more\n"
        "                       easily when the machine is busy. Below 512-frame\n"
        "                       buffers pluck asks for real-time priority (root, rtkit\n"
        "                       or limits.conf allow it)\n"
        "  -d, --device NAME    play on NAME: an ALSA PCM (default, pulse, pipewire,\n"
        "                       hw:1,0, plughw:...) or, on Windows, a device's number or\n"
        "                       name as --list-devices shows them\n"
        "      --list-devices   list the sound devices there are, and exit\n"
        "  -r, --record FILE    also write everything played to FILE, a WAV file (32-bit\n"
        "                       float, every sample as rendered), complete once pluck\n"
        "                       has quit\n"
        "  -h, --help           this text\n"
        "      --version        the program's version\n"
        "Exit status: 0 played (or listed), 1 the recording could not be written,\n"
        "2 a bad command line.\n";
    return text;
}

const char* version_text() {
    return "pluck " PLUCK_VERSION;
}

AudioSettings audio_settings(const Options& options) {
    AudioSettings settings;
    if (!options.device.empty()) {
        settings.device_name = options.device.c_str();
    }
    const RingLayout ring = options.ring();
    settings.ring_buffers = ring.buffers;
    settings.buffer_frames = ring.buffer_frames;
    settings.raise_priority = options.low_latency();
    return settings;
}

int answer_without_playing(const Options& options) {
    if (options.help) {
        std::fputs(help_text().c_str(), stdout);
        return exit_ok;
    }
    if (options.version) {
        std::puts(version_text());
        return exit_ok;
    }
    if (options.list_devices) {
        for (const OutputDevice& device : output_devices()) {
            std::printf("%-24s %s\n", device.name.c_str(), device.description.c_str());
        }
        return exit_ok;
    }
    return -1;
}

}  // namespace pluck
