#pragma once

#include <QRect>

#include <memory>

// Where the display facts come from; the real one asks Qt's screens. Tests install another when
// they need a workstation this machine is not (no monitor, two monitors).
class ScreenSource
{
public:
    virtual ~ScreenSource() = default;
    virtual int monitorCount() const = 0;
    virtual QRect virtualGeometry() const = 0;
    virtual bool sameDisplayFormat() const = 0;
};

void setScreenSource(std::shared_ptr<ScreenSource> source);

// Four facts about the display, asked anew on every read; nothing is cached.
class cMontionInfo
{
public:
    int DisplayMonitorCount() const;
    int VirtualScreenWidth() const;
    int VirtualScreenHeight() const;
    int IsSameDisplayFormat() const; // nonzero when all monitors share one colour format
};
