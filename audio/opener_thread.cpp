#include "audio/output_threads.h"
#include "audio/thread_priority.h"

namespace pluck {
namespace {

// Takes `device` and closes it without holding the lock: closing can wait
// as long as a stopped sound server keeps it waiting.
void close_taken(std::unique_lock<std::mutex>& lock, SoundDevice*& device) {
    SoundDevice* taken = device;
    device = nullptr;
    lock.unlock();
    close_device(taken);
    lock.lock();
}

}  // namespace

void run_opener_thread(std::shared_ptr<OutputShared> owner) {
    name_this_thread("pluck opener");
    OutputShared& shared = *owner;
    // A sound server's ALSA plugin does the talking to its server in a
    // thread of its own, made while the device is opened here: it inherits
    // this thread's priority, and must wake as often as the audio thread.
    // This thread itself only sleeps, except while it opens a device.
    if (shared.raise_priority) {
        raise_thread_priority();
    }
    std::unique_lock<std::mutex> lock(shared.mutex);
    OutputClock::time_point next_attempt = OutputClock::now();
    for (;;) {
        shared.opener_wake.wait(lock, [&] {
            return shared.quit || shared.audio_done || shared.to_close != nullptr ||
                   (shared.device_wanted && shared.ready == nullptr);
        });
        if (shared.to_close != nullptr) {
            close_taken(lock, shared.to_close);
            continue;
        }
        if (shared.quit || shared.audio_done) {
            break;
        }
        if (OutputClock::now() < next_attempt) {
            shared.opener_wake.wait_until(lock, next_attempt, [&] {
                return shared.quit || shared.audio_done || shared.to_close != nullptr;
            });
            continue;
        }
        shared.opening = true;
        shared.opening_since = OutputClock::now();
        lock.unlock();
        DeviceError error;
        SoundDevice* device = open_device(shared.device_name.c_str(), shared.ring, error);
        shared.open_attempts.fetch_add(1, std::memory_order_relaxed);
        lock.lock();
        shared.opening = false;
        if (device != nullptr) {
            shared.ready = device;
            shared.device_wanted = false;
            shared.devices_opened.fetch_add(1, std::memory_order_relaxed);
        } else {
            ++shared.failed_opens;
            shared.open_error = error;
            next_attempt = OutputClock::now() + std::chrono::milliseconds(retry_interval_ms);
        }
        shared.audio_wake.notify_all();
    }
    // A device opened after the audio thread stopped looking.
    if (shared.ready != nullptr) {
        close_taken(lock, shared.ready);
    }
    shared.opener_done = true;
    shared.ended.notify_all();
}

}  // namespace pluck
