#include "vireo.h"

namespace Vireo {

Plugin::Plugin(QObject *parent)
    : QObject(parent)
{
}

Project::Project(QObject *parent)
    : QObject(parent)
{
}

} // namespace Vireo
