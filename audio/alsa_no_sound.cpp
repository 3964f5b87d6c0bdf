#include "audio/alsa_no_sound.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace pluck {
namespace {

// The few kinds of failure that call for different advice. A sound server
// behind ALSA (the pulse or pipewire plugin) reports a missing or dead
// server as a refused or broken connection; a card reports itself missing.
enum class Kind { server, missing, busy, permission, other };

Kind kind_of(int error) {
    switch (-error) {
        case ECONNREFUSED:
        case ECONNRESET:
        case ECONNABORTED:
        case ENOTCONN:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ESHUTDOWN:
        case ETIMEDOUT:
            return Kind::server;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return Kind::missing;
        case EBUSY:
        case EAGAIN:
            return Kind::busy;
        case EACCES:
        case EPERM:
            return Kind::permission;
        default:
            return Kind::other;
    }
}

// One line, ended by its newline even when cut short.
__attribute__((format(printf, 3, 4))) void write_line(char* out, size_t size, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(out, size, format, args);
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        out[size > 1 ? size - 2 : 0] = '\n';
        out[size - 1] = '\0';
    }
}

}  // namespace

void describe_no_sound(char* out, size_t size, NoSound what, int error, PcmStep failed_at,
                       const char* device_name) {
    if (size == 0) {
        return;
    }
    const char* reason = pcm_error_text(error);
    const char* name = device_name;
    // Every case keeps trying, so the player's fix takes effect without a restart.
    const char* retry = "trying again each second";
    if (what == NoSound::not_answering) {
        write_line(out, size,
                   "pluck: no sound: the sound server does not answer on ALSA device \"%s\", still "
                   "waiting; is it stopped or stuck?\n",
                   name);
        return;
    }
    const Kind kind = kind_of(error);
    if (what == NoSound::lost) {
        // A server that has gone shows as a broken connection or as an
        // input/output error on its stream.
        if (kind == Kind::server || error == -EIO || error == -EBADFD) {
            write_line(out, size,
                       "pluck: no sound: lost the sound server (%s) on ALSA device \"%s\", %s; has "
                       "PulseAudio or PipeWire stopped?\n",
                       reason, name, retry);
        } else if (kind == Kind::missing) {
            write_line(out, size,
                       "pluck: no sound: lost ALSA device \"%s\" (%s), %s; was the sound card "
                       "unplugged?\n",
                       name, reason, retry);
        } else {
            write_line(out, size, "pluck: no sound: lost ALSA device \"%s\" (%s), %s\n", name, reason, retry);
        }
        return;
    }
    switch (kind) {
        case Kind::server:
            write_line(out, size,
                       "pluck: no sound: cannot reach the sound server (%s) on ALSA device \"%s\", %s; "
                       "is PulseAudio or PipeWire running?\n",
                       reason, name, retry);
            return;
        case Kind::missing:
            write_line(out, size,
                       "pluck: no sound: no ALSA device \"%s\" (%s), %s; is the sound card connected, "
                       "and is that its name?\n",
                       name, reason, retry);
            return;
        case Kind::busy:
            write_line(out, size,
                       "pluck: no sound: ALSA device \"%s\" is busy (%s), %s; is another program "
                       "playing on it?\n",
                       name, reason, retry);
            return;
        case Kind::permission:
            write_line(out, size,
                       "pluck: no sound: no permission to play on ALSA device \"%s\" (%s), %s; is your "
                       "user in the \"audio\" group?\n",
                       name, reason, retry);
            return;
        case Kind::other:
            break;
    }
    // A device that opened but refused the format, rate or buffer sizes.
    if (failed_at == PcmStep::configure) {
        write_line(out, size,
                   "pluck: no sound: ALSA device \"%s\" cannot play 44.1 kHz stereo float samples "
                   "(%s), %s; does its ALSA definition convert formats?\n",
                   name, reason, retry);
    } else {
        write_line(out, size,
                   "pluck: no sound: cannot open ALSA device \"%s\" (%s), %s; check the ALSA "
                   "configuration\n",
                   name, reason, retry);
    }
}

}  // namespace pluck
