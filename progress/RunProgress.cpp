// SPDX-License-Identifier: GPL-3.0-or-later

#include "RunProgress.h"

#include "FileRipper.h"
#include "FileSystem.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include <fcntl.h>

namespace quellon {

namespace {

double Seconds(RunProgress::Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Weight(std::uint64_t length)
{
    return static_cast<double>(std::max(length, RunProgress::kLeastLength));
}

} // namespace

std::string DataSize(std::uint64_t bytes)
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

std::string TimeLeft(double seconds)
{
    if (seconds < 60.0)
        return "less than a minute left";
    const long minutes = std::max(1L, std::lround(seconds / 60.0));
    if (minutes < 120)
        return "about " + std::to_string(minutes) + " min left";
    return "about " + std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min left";
}

RunProgress::RunProgress(std::vector<std::uint64_t> lengths, Clock::time_point start)
    : lengths_(std::move(lengths)), start_(start)
{
    for (const std::uint64_t length : lengths_) {
        bytesTotal_ += kPasses * length;
        weightTotal_ += kPasses * Weight(length);
    }
    samples_.push_back({start, 0, 0});
}

std::vector<std::uint64_t> RunProgress::LengthsOf(FileSystem& files, const std::vector<std::string>& paths)
{
    std::vector<std::uint64_t> lengths;
    for (const std::string& path : paths) {
        // The kernel follows the path as the wipe will, to the file the wipe overwrites.
        struct stat st {};
        const int fd = files.OpenAt(AT_FDCWD, path, O_PATH | O_CLOEXEC, 0);
        const bool file = fd >= 0 && files.Stat(fd, st) == 0 && S_ISREG(st.st_mode);
        if (fd >= 0)
            (void)files.Close(fd);
        lengths.push_back(file ? static_cast<std::uint64_t>(st.st_size) : 0);
    }
    return lengths;
}

void RunProgress::Update(int entry, const WipeProgress& wipe, Clock::time_point now)
{
    double weight = 0;
    double bytes = 0;
    const auto count = static_cast<int>(lengths_.size());
    for (int i = 0; i < std::min(entry, count); ++i) {
        weight += kPasses * Weight(lengths_[i]);
        bytes += kPasses * static_cast<double>(lengths_[i]);
    }
    if (entry >= 0 && entry < count) {
        const double passDone =
            wipe.bytesTotal == 0 ? 1.0 : static_cast<double>(wipe.bytesDone) / static_cast<double>(wipe.bytesTotal);
        const double passes = std::clamp(wipe.pass - 1 + std::min(passDone, 1.0), 0.0, double(kPasses));
        weight += passes * Weight(lengths_[entry]);
        bytes += passes * static_cast<double>(lengths_[entry]);
    }
    weightDone_ = std::max(weightDone_, weight);
    bytesDone_ = std::max(bytesDone_, static_cast<std::uint64_t>(bytes));

    samples_.push_back({now, weightDone_, bytesDone_});
    while (samples_.size() > 2 && samples_[1].at <= now - kWindow)
        samples_.pop_front();
    now_ = now;
}

double RunProgress::Fraction() const
{
    return weightTotal_ > 0 ? std::min(1.0, weightDone_ / weightTotal_) : 1.0;
}

std::optional<double> RunProgress::BytesPerSecond() const
{
    const double span = Seconds(now_ - samples_.front().at);
    if (now_ - start_ < kFirstSpeed || span <= 0)
        return std::nullopt;
    return static_cast<double>(bytesDone_ - samples_.front().bytes) / span;
}

std::optional<double> RunProgress::SecondsLeft() const
{
    const double span = Seconds(now_ - samples_.front().at);
    const double weight = weightDone_ - samples_.front().weight;
    if (now_ - start_ < kSettle || span <= 0 || weight <= 0)
        return std::nullopt;
    return (weightTotal_ - weightDone_) / (weight / span);
}

std::string RunProgress::Text() const
{
    std::string text = DataSize(bytesDone_) + " of " + DataSize(bytesTotal_);
    if (const auto speed = BytesPerSecond())
        text += ", " + DataSize(static_cast<std::uint64_t>(*speed)) + "/s";
    if (const auto left = SecondsLeft())
        text += ", " + TimeLeft(*left);
    return text;
}

} // namespace quellon
