#include "itemrow.h"

namespace ItemRow {

QVariant data(int column, int role, const QVariant &key, const QString &name, const QString &type,
              const QIcon &icon, const QString &toolTip)
{
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        switch (column) {
        case 0:
            return key;
        case 1:
            return name;
        case 2:
            return type;
        default:
            return QVariant();
        }
    case Qt::DecorationRole:
        return column == 0 ? QVariant(icon) : QVariant();
    case Qt::ToolTipRole:
        return toolTip;
    default:
        return QVariant();
    }
}

} // namespace ItemRow
