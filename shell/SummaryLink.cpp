#include "shell/SummaryLink.h"

SummaryLink &SummaryLink::instance()
{
    static SummaryLink link;
    return link;
}
