// A fake progress bar: its position and every call, in order. Point
// `journal` at another fake's log to see the bar's calls among that fake's
// (for example among the internet port's calls).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/UpdateUi.h"

namespace rl::fake {

class ProgressBar : public IProgressBar {
public:
    int position = 0;
    int max = 1000;
    bool visible = false;
    bool inFront = false;
    int repaints = 0;
    std::vector<int> positions;       // every position set, in order
    std::vector<std::string> calls;   // "Show", "BringToFront", "Repaint", "SetPosition <n>"
    std::vector<std::string>* journal = nullptr;
    bool throwOnSetPosition = false;  // SetPosition records the value, then throws

    int Position() const override { return position; }
    void SetPosition(int value) override {
        Record("SetPosition " + std::to_string(value));
        positions.push_back(value);
        if (throwOnSetPosition) throw std::runtime_error("progress bar gone");
        position = value;
    }
    int Max() const override { return max; }
    void Show() override {
        Record("Show");
        visible = true;
    }
    void BringToFront() override {
        Record("BringToFront");
        inFront = true;
    }
    void Repaint() override {
        Record("Repaint");
        ++repaints;
    }

private:
    void Record(const std::string& call) {
        calls.push_back(call);
        if (journal != nullptr) journal->push_back("ProgressBar." + call);
    }
};

}  // namespace rl::fake
