// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// How far a run of several wipes has got, counted in bytes, how fast it goes and how long it will
// still take: what the window's progress dialog and `quellon-wipe --progress` show.
//
// Every entry weighs what it will make the disk write, 44 passes over its length, with the lengths
// taken once when the run starts. An empty or tiny file still weighs kLeastLength a pass (its passes
// take time too: each one is flushed), so the bar moves for it.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace quellon {

class FileSystem;
struct WipeProgress;

// "512 bytes", "12.5 KiB", "3.0 GiB".
std::string DataSize(std::uint64_t bytes);

// "less than a minute left", "about 4 min left", "about 2 h 10 min left".
std::string TimeLeft(double seconds);

class RunProgress {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::uint64_t kLeastLength = std::uint64_t{64} * 1024;
    // No speed before this much of the run has been seen, no time left before kSettle.
    static constexpr Clock::duration kFirstSpeed = std::chrono::seconds(1);
    static constexpr Clock::duration kSettle = std::chrono::seconds(3);
    // Speed and time left follow the last few seconds, so they adapt when the disk slows down.
    static constexpr Clock::duration kWindow = std::chrono::seconds(5);

    // `lengths`: each entry's length in bytes, in run order.
    RunProgress(std::vector<std::uint64_t> lengths, Clock::time_point start);

    // The length of the regular file each path leads to now, a symbolic link followed as the wipe
    // follows it, looked at through `files`; one that cannot be looked at counts as empty.
    static std::vector<std::uint64_t> LengthsOf(FileSystem& files, const std::vector<std::string>& paths);

    // Entry `entry` (from 0) is at `wipe`: `wipe.pass` - 1 passes finished and `wipe.bytesDone` of
    // `wipe.bytesTotal` written of pass `wipe.pass` (0: not started). Never goes back.
    void Update(int entry, const WipeProgress& wipe, Clock::time_point now);

    // The share of the run done, 0 to 1, weighed by bytes.
    [[nodiscard]] double Fraction() const;
    [[nodiscard]] std::uint64_t BytesDone() const { return bytesDone_; }
    [[nodiscard]] std::uint64_t BytesTotal() const { return bytesTotal_; }

    // Bytes written a second over the last few seconds, once a second of the run has been seen.
    [[nodiscard]] std::optional<double> BytesPerSecond() const;

    // Seconds still to go at the recent pace, once the run has gone on for a few seconds.
    [[nodiscard]] std::optional<double> SecondsLeft() const;

    // "120.0 MiB of 22.0 GiB, 850.3 MiB/s, about 4 min left"; the speed and the time left only
    // once they can be told.
    [[nodiscard]] std::string Text() const;

private:
    struct Sample {
        Clock::time_point at;
        double weight;
        std::uint64_t bytes;
    };

    std::vector<std::uint64_t> lengths_;
    Clock::time_point start_;
    Clock::time_point now_{start_};
    double weightTotal_ = 0;
    double weightDone_ = 0;
    std::uint64_t bytesTotal_ = 0;
    std::uint64_t bytesDone_ = 0;
    std::deque<Sample> samples_;
};

} // namespace quellon
