#include "pluck/options.h"

#include <cstdio>
#include <string_view>

#include "play/milliseconds.h"
#include "sound_files/output_file.h"
#include "sound_files/sound_file.h"
#include "system/command_line.h"

namespace pluck {

namespace {

enum OptionId {
    option_latency,
    option_device,
    option_record,
    option_list_devices,
    option_help,
    option_version
};

constexpr CommandLineOption known_options[] = {
    {option_latency, "latency", 'l', true}, {option_device, "device", 'd', true},
    {option_record, "record", 'r', true},   {option_list_devices, "list-devices", 0, false},
    {option_help, "help", 'h', false},      {option_version, "version", 0, false},
};

bool parse_latency(std::string_view text, int32_t& ms) {
    // Whole milliseconds from 1 to max_latency_ms, leading zeros allowed
    // as for every number the programs read.
    int64_t value = 0;
    if (read_milliseconds(text, max_latency_ms, value) != MillisecondsRead::ok || value < 1) {
        return false;
    }
    ms = static_cast<int32_t>(value);
    return true;
}

// Why a recording cannot go to `path`, or "": pluck writes WAV files only,
// and never over the keys it reads.
std::string record_refusal(const std::string& path) {
    SoundFileFormat format{};
    if (!sound_file_format_for_path(path, format) || format != SoundFileFormat::wav_float) {
        return "cannot record to " + path + ": pluck records WAV files only, named FILE.wav";
    }
    if (names_open_file(path, 0)) {
        return "cannot record to " + path + ": it is standard input, where the keys are read";
    }
    return "";
}

// Applies one option and its value; false with `error` set if it is bad.
bool apply(const CommandLineItem& item, Options& options, std::string& error) {
    const std::string_view value = item.text;
    switch (item.option->id) {
        case option_latency:
            if (!parse_latency(value, options.latency_ms)) {
                error = "bad --latency \"" + std::string(value) + "\": expected whole milliseconds, 1 to " +
                        std::to_string(max_latency_ms);
                return false;
            }
            break;
        case option_device:
        case option_record:
            if (value.empty()) {
                error = "option --" + std::string(item.option->long_name) + " needs a value";
                return false;
            }
            (item.option->id == option_device ? options.device : options.record_path) = std::string(value);
            if (item.option->id == option_record) {
                error = record_refusal(options.record_path);
                return error.empty();
            }
            break;
        case option_list_devices:
            options.list_devices = true;
            break;
        case option_help:
            options.help = true;
            break;
        default:
            options.version = true;
    }
    return true;
}

}  // namespace

int parse_options(int argc, const char* const* argv, Options& options, std::string& error) {
    const CommandLineRead read = read_command_line(argc, argv, {known_options});
    for (const CommandLineItem& item : read.items) {
        if (item.option == nullptr) {
            error = "unexpected argument \"" + std::string(item.text) + "\": pluck takes options only";
            return exit_usage;
        }
        if (!apply(item, options, error)) {
            return exit_usage;
        }
    }
    error = read.error;
    return error.empty() ? exit_ok : exit_usage;
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
        "                       float, every sample as rendered); until pluck quits it\n"
        "                       is FILE.part, kept on the disk as it is played\n"
        "  -h, --help           this text\n"
        "      --version        the program's version\n"
        "Exit status: 0 played (or listed), 1 the recording is not complete under its\n"
        "name (what could be written stays FILE.part), 2 a bad command line.\n";
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
    } else if (options.version) {
        std::puts(version_text());
    } else if (options.list_devices) {
        for (const OutputDevice& device : output_devices()) {
            std::printf("%-24s %s\n", device.name.c_str(), device.description.c_str());
        }
    } else {
        return -1;
    }
    return end_standard_output("pluck");
}

}  // namespace pluck
