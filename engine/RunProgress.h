// SPDX-License-Identifier: GPL-3.0-or-later

#pragma once

// How far a run of several wipes has got, counted in bytes, how fast it goes and how long it will
// still take: what the window's progress dialog and `quellon-wipe --progress` show.
//
// Every entry weighs what it will make the disk write, 44 passes over its length, with the lengths
// taken once when the run starts. An empty or tiny file still weighs kLeastLength a pass (its passes
// take time too: each one is flushed), so the bar moves for it. Header only, so the window and the
// command line share it without another library.

#include "FileRipper.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace quellon {

// "512 bytes", "12.5 KiB", "3.0 GiB".
inline std::string DataSize(std::uint64_t bytes)
{
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    static_cast<void>(std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]));
    return text;
}

// "less than a minute left", "about 4 min left", "about 2 h 10 min left".
inline std::string TimeLeft(double seconds)
{
    if (seconds < 60.0)
        return "less than a minute left";
    const long minutes = std::max(1L, std::lround(seconds / 60.0));
    if (minutes < 120)
        return "about " + std::to_string(minutes) + " min left";
    return "about " + std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min left";
}

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
    RunProgress(std::vector<std::uint64_t> lengths, Clock::time_point start)
        : lengths_(std::move(lengths)), start_(start)
    {
        for (const std::uint64_t length : lengths_) {
            bytesTotal_ += kPasses * length;
            weightTotal_ += kPasses * static_cast<double>(std::max(length, kLeastLength));
        }
        samples_.push_back({start, 0, 0});
    }

    // The length of each path now; one that cannot be looked at counts as empty.
    static std::vector<std::uint64_t> LengthsOf(const std::vector<std::string>& paths)
    {
        std::vector<std::uint64_t> lengths;
        for (const std::string& path : paths) {
            struct stat st {};
            const bool file = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
            lengths.push_back(file ? static_cast<std::uint64_t>(st.st_size) : 0);
        }
        return lengths;
    }

    // Entry `entry` (from 0) has finished `pass` - 1 passes and written `passDone` (0 to 1) of pass
    // `pass` (0: not started). Never goes back.
    void Update(int entry, int pass, double passDone, Clock::time_point now)
    {
        double weight = 0;
        double bytes = 0;
        const auto count = static_cast<int>(lengths_.size());
        for (int i = 0; i < std::min(entry, count); ++i) {
            weight += kPasses * static_cast<double>(std::max(lengths_[i], kLeastLength));
            bytes += kPasses * static_cast<double>(lengths_[i]);
        }
        if (entry >= 0 && entry < count) {
            const double passes = std::clamp(pass - 1 + std::clamp(passDone, 0.0, 1.0), 0.0, double(kPasses));
            weight += passes * static_cast<double>(std::max(lengths_[entry], kLeastLength));
            bytes += passes * static_cast<double>(lengths_[entry]);
        }
        weightDone_ = std::max(weightDone_, weight);
        bytesDone_ = std::max(bytesDone_, static_cast<std::uint64_t>(bytes));

        samples_.push_back({now, weightDone_, bytesDone_});
        while (samples_.size() > 2 && samples_[1].at <= now - kWindow)
            samples_.pop_front();
        now_ = now;
    }

    // The share of the run done, 0 to 1, weighed by bytes.
    [[nodiscard]] double Fraction() const { return weightTotal_ > 0 ? std::min(1.0, weightDone_ / weightTotal_) : 1.0; }
    [[nodiscard]] std::uint64_t BytesDone() const { return bytesDone_; }
    [[nodiscard]] std::uint64_t BytesTotal() const { return bytesTotal_; }

    // Bytes written a second over the last few seconds, once a second of the run has been seen.
    [[nodiscard]] std::optional<double> BytesPerSecond() const
    {
        const double span = Seconds(now_ - samples_.front().at);
        if (now_ - start_ < kFirstSpeed || span <= 0)
            return std::nullopt;
        return static_cast<double>(bytesDone_ - samples_.front().bytes) / span;
    }

    // Seconds still to go at the recent pace, once the run has gone on for a few seconds.
    [[nodiscard]] std::optional<double> SecondsLeft() const
    {
        const double span = Seconds(now_ - samples_.front().at);
        const double weight = weightDone_ - samples_.front().weight;
        if (now_ - start_ < kSettle || span <= 0 || weight <= 0)
            return std::nullopt;
        return (weightTotal_ - weightDone_) / (weight / span);
    }

    // "120.0 MiB of 22.0 GiB, 850.3 MiB/s, about 4 min left"; the speed and the time left only
    // once they can be told.
    [[nodiscard]] std::string Text() const
    {
        std::string text = DataSize(bytesDone_) + " of " + DataSize(bytesTotal_);
        if (const auto speed = BytesPerSecond())
            text += ", " + DataSize(static_cast<std::uint64_t>(*speed)) + "/s";
        if (const auto left = SecondsLeft())
            text += ", " + TimeLeft(*left);
        return text;
    }

private:
    static constexpr int kPasses = FileRipper::kPasses;

    struct Sample {
        Clock::time_point at;
        double weight;
        std::uint64_t bytes;
    };

    static double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

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
