// Why an ALSA device gives no sound, in words a player can act on: what
// happened, on which device, and what to look at.
#include <cerrno>

#include "audio/alsa_pcm.h"
#include "audio/sound_device.h"

namespace pluck {
namespace {

// The few kinds of failure that call for different advice. A sound server
// behind ALSA (the pulse or pipewire plugin) reports a missing or dead
// server as a refused or broken connection (PipeWire's plugin, a stream
// whose server has gone, as a broken pipe); a card reports itself missing.
enum class Kind { server, missing, busy, permission, other };

Kind kind_of(int error) {
    switch (-error) {
        case ECONNREFUSED:
        case EPIPE:
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

}  // namespace

void describe_no_sound(char* out, size_t size, NoSound what, const DeviceError& device_error,
                       const char* device_name) {
    const int error = device_error.code;
    const PcmStep failed_at = static_cast<PcmStep>(device_error.step);
    const char* reason = pcm_error_text(error);
    const char* name = device_name;
    // Every case keeps trying, so the player's fix takes effect without a restart.
    const char* retry = "trying again each second";
    if (what == NoSound::not_answering) {
        write_no_sound_line(out, size,
                            "the sound server does not answer on ALSA device \"%s\", still "
                            "waiting; is it stopped or stuck?",
                            name);
        return;
    }
    const Kind kind = kind_of(error);
    if (what == NoSound::lost) {
        // A server that has gone shows as a broken connection or as an
        // input/output error on its stream.
        if (kind == Kind::server || error == -EIO || error == -EBADFD) {
            write_no_sound_line(out, size,
                                "lost the sound server (%s) on ALSA device \"%s\", %s; has "
                                "PulseAudio or PipeWire stopped?",
                                reason, name, retry);
        } else if (kind == Kind::missing) {
            write_no_sound_line(out, size,
                                "lost ALSA device \"%s\" (%s), %s; was the sound card "
                                "unplugged?",
                                name, reason, retry);
        } else {
            write_no_sound_line(out, size, "lost ALSA device \"%s\" (%s), %s", name, reason, retry);
        }
        return;
    }
    switch (kind) {
        case Kind::server:
            write_no_sound_line(out, size,
                                "cannot reach the sound server (%s) on ALSA device \"%s\", %s; "
                                "is PulseAudio or PipeWire running?",
                                reason, name, retry);
            return;
        case Kind::missing:
            write_no_sound_line(out, size,
                                "no ALSA device \"%s\" (%s), %s; is the sound card connected, "
                                "and is that its name?",
                                name, reason, retry);
            return;
        case Kind::busy:
            write_no_sound_line(out, size,
                                "ALSA device \"%s\" is busy (%s), %s; is another program "
                                "playing on it?",
                                name, reason, retry);
            return;
        case Kind::permission:
            write_no_sound_line(out, size,
                                "no permission to play on ALSA device \"%s\" (%s), %s; is your "
                                "user in the \"audio\" group?",
                                name, reason, retry);
            return;
        case Kind::other:
            break;
    }
    // A device that opened but refused the format, rate or buffer sizes.
    if (failed_at == PcmStep::configure) {
        write_no_sound_line(out, size,
                            "ALSA device \"%s\" cannot play 44.1 kHz stereo float samples "
                            "(%s), %s; does its ALSA definition convert formats?",
                            name, reason, retry);
    } else {
        write_no_sound_line(out, size,
                            "cannot open ALSA device \"%s\" (%s), %s; check the ALSA "
                            "configuration",
                            name, reason, retry);
    }
}

}  // namespace pluck
