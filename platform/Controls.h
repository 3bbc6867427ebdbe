// Small control interfaces through which portable window logic reads and
// writes the toolkit's controls. Each toolkit adapter implements them; the
// tests implement them with plain fields.
#pragma once

#include <string>

namespace rl {

// A control whose image is chosen by index from an image list (the tray icon).
class IImageIndex {
public:
    virtual ~IImageIndex() = default;
    virtual int ImageIndex() const = 0;
    virtual void SetImageIndex(int index) = 0;
};

// The tray icon as the idle monitor sees it: its image, and the line of text
// shown when the pointer rests on it.
class ITrayState : public IImageIndex {
public:
    virtual void SetHint(const std::string& hint) = 0;
};

// A check mark (menu item or check box).
class ICheckMark {
public:
    virtual ~ICheckMark() = default;
    virtual bool Checked() const = 0;
    virtual void SetChecked(bool checked) = 0;
};

// The items of a list box, 0-based.
class IItemList {
public:
    virtual ~IItemList() = default;
    virtual int Count() const = 0;
    virtual std::string Item(int index) const = 0;
};

// The application's screen cursor: 0 is the default cursor, -11 the
// hourglass (the toolkit's cursor numbers).
constexpr int kCursorDefault = 0;
constexpr int kCursorHourGlass = -11;
class IScreenCursor {
public:
    virtual ~IScreenCursor() = default;
    virtual void SetCursor(int cursor) = 0;
};

}  // namespace rl
