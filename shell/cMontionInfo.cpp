#include "shell/cMontionInfo.h"

#include <QGuiApplication>
#include <QScreen>

namespace {

class QtScreenSource : public ScreenSource
{
public:
    int monitorCount() const override { return int(QGuiApplication::screens().size()); }
    QRect virtualGeometry() const override
    {
        QScreen *primary = QGuiApplication::primaryScreen();
        return primary ? primary->virtualGeometry() : QRect();
    }
    bool sameDisplayFormat() const override
    {
        const auto screens = QGuiApplication::screens();
        for (QScreen *s : screens) {
            if (s->depth() != screens.front()->depth())
                return false;
        }
        return true;
    }
};

std::shared_ptr<ScreenSource> &source()
{
    static std::shared_ptr<ScreenSource> s = std::make_shared<QtScreenSource>();
    return s;
}

} // namespace

void setScreenSource(std::shared_ptr<ScreenSource> s)
{
    source() = s ? std::move(s) : std::make_shared<QtScreenSource>();
}

int cMontionInfo::DisplayMonitorCount() const
{
    return source()->monitorCount();
}

int cMontionInfo::VirtualScreenWidth() const
{
    return source()->virtualGeometry().width();
}

int cMontionInfo::VirtualScreenHeight() const
{
    return source()->virtualGeometry().height();
}

int cMontionInfo::IsSameDisplayFormat() const
{
    return source()->sameDisplayFormat() ? 1 : 0;
}
