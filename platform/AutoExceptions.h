// Reasons to leave the volume alone that need no list: somebody is watching
// (a full-screen program, a program keeping the display on) or talking (sound
// being recorded). Each system has one probe per reason; the monitor asks
// them only when an idle period starts.
#pragma once

#include <memory>
#include <utility>

namespace rl {

// In the order they are asked.
enum class TAutoReason { NoReason, FullScreen, DisplayKeptOn, Recording };

// One reason, read from the system now. A probe that cannot read its
// source answers false: it never holds the volume on a guess.
class IAutoExceptionProbe {
public:
    virtual ~IAutoExceptionProbe() = default;
    virtual bool Holds() = 0;
};

class IAutoExceptions {
public:
    virtual ~IAutoExceptions() = default;
    // The first reason that holds now; NoReason when none does.
    virtual TAutoReason Present() = 0;
};

// The three probes asked in order; the first that holds answers and the
// rest are not asked. A missing probe never holds.
class TAutoExceptionProbes : public IAutoExceptions {
public:
    TAutoExceptionProbes(std::unique_ptr<IAutoExceptionProbe> fullScreen,
                         std::unique_ptr<IAutoExceptionProbe> displayKeptOn,
                         std::unique_ptr<IAutoExceptionProbe> recording)
        : fullScreen_(std::move(fullScreen)),
          displayKeptOn_(std::move(displayKeptOn)),
          recording_(std::move(recording)) {}

    TAutoReason Present() override {
        if (fullScreen_ && fullScreen_->Holds()) return TAutoReason::FullScreen;
        if (displayKeptOn_ && displayKeptOn_->Holds()) return TAutoReason::DisplayKeptOn;
        if (recording_ && recording_->Holds()) return TAutoReason::Recording;
        return TAutoReason::NoReason;
    }

private:
    std::unique_ptr<IAutoExceptionProbe> fullScreen_;
    std::unique_ptr<IAutoExceptionProbe> displayKeptOn_;
    std::unique_ptr<IAutoExceptionProbe> recording_;
};

}  // namespace rl
