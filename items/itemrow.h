#pragma once

#include <QIcon>
#include <QString>
#include <QVariant>

namespace ItemRow {

// The tree row every map item answers: its key, name and type text in columns 0 to 2 for
// the display and edit roles, its icon in column 0, its tooltip in every column.
QVariant data(int column, int role, const QVariant &key, const QString &name, const QString &type,
              const QIcon &icon, const QString &toolTip);

} // namespace ItemRow
