#include "settingspanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRegExp>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

#include "kernel/mapview.h"

const QString SettingsPanel::MinZoomKey = QStringLiteral("Demo/min_visible_zoom");
const QString SettingsPanel::ShowAllRoutesKey = QStringLiteral("Demo/show_all_routes");

namespace {

// The plug-in's enumerations in value order: ShowMode and ShowWeightMode.
const QStringList showModeLabels()
{
    return {QObject::tr("Never"), QObject::tr("When selected"), QObject::tr("Always")};
}
const QStringList weightModeLabels()
{
    return {QObject::tr("Never"), QObject::tr("Always"), QObject::tr("When valid")};
}

} // namespace

SettingsPanel::SettingsPanel(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);

    auto *routes = new QGroupBox(tr("Routes"), this);
    auto *routesLayout = new QVBoxLayout(routes);
    m_allRoutes = new QCheckBox(tr("Show all routes"), routes);
    m_allRoutes->setObjectName(QStringLiteral("showAllRoutes"));
    m_allRoutes->setToolTip(tr("Otherwise only the selected route is drawn"));
    m_allRoutes->setChecked(QSettings().value(ShowAllRoutesKey, true).toBool());
    routesLayout->addWidget(m_allRoutes);
    connect(m_allRoutes, &QCheckBox::toggled, this, [this](bool on) {
        QSettings().setValue(ShowAllRoutesKey, on);
        emit showAllRoutesChanged(on);
    });

    auto *vehicles = new QGroupBox(tr("Vehicles"), this);
    auto *vehicleForm = new QFormLayout(vehicles);
    auto *detectors = new QGroupBox(tr("Detectors"), this);
    auto *detectorForm = new QFormLayout(detectors);
    auto *filters = new QGroupBox(tr("Vehicle filters"), this);
    auto *filterForm = new QFormLayout(filters);
    for (QFormLayout *form : {vehicleForm, detectorForm, filterForm})
        form->setRowWrapPolicy(QFormLayout::WrapLongRows);

    vehicleForm->addRow(tr("Text:"), addModeBox("textShowMode", showModeLabels()));
    vehicleForm->addRow(tr("Emergency sector:"), addModeBox("emsShowMode", showModeLabels()));
    vehicleForm->addRow(tr("Weight:"), addModeBox("brdWeightShowMode", weightModeLabels()));

    detectorForm->addRow(tr("Weight:"), addModeBox("dtWeightShowMode", weightModeLabels()));
    m_onActivation = new QCheckBox(tr("Show when activated"), detectors);
    m_onActivation->setObjectName(QStringLiteral("showDtOnActivation"));
    detectorForm->addRow(m_onActivation);
    m_whenApproaching = new QCheckBox(tr("Show when zoomed in"), detectors);
    m_whenApproaching->setObjectName(QStringLiteral("showDtWhenApproaching"));
    detectorForm->addRow(m_whenApproaching);
    m_minZoom = new QSpinBox(detectors);
    m_minZoom->setObjectName(QStringLiteral("minVisibleZoom"));
    m_minZoom->setRange(Road::MapView::MinZoom, Road::MapView::MaxZoom);
    m_zoomNow = new QLabel(detectors);
    auto *zoomRow = new QHBoxLayout;
    zoomRow->addWidget(m_minZoom);
    zoomRow->addWidget(m_zoomNow, 1);
    detectorForm->addRow(tr("From zoom level:"), zoomRow);

    m_nameFilter = new QLineEdit(filters);
    m_nameFilter->setObjectName(QStringLiteral("vehicleNameFilter"));
    m_nameFilter->setPlaceholderText(tr("all names"));
    m_nameFilter->setClearButtonEnabled(true);
    m_nameFilter->setProperty("hint", tr("A regular expression that the whole board name must match"));
    m_descrFilter = new QLineEdit(filters);
    m_descrFilter->setObjectName(QStringLiteral("vehicleDescrFilter"));
    m_descrFilter->setPlaceholderText(tr("all descriptions"));
    m_descrFilter->setClearButtonEnabled(true);
    m_descrFilter->setProperty("hint", tr("A regular expression that the whole description must match"));
    filterForm->addRow(tr("Name:"), m_nameFilter);
    filterForm->addRow(tr("Description:"), m_descrFilter);

    layout->addWidget(routes);
    layout->addWidget(vehicles);
    layout->addWidget(detectors);
    layout->addWidget(filters);
    layout->addStretch(1);

    for (QCheckBox *box : {m_onActivation, m_whenApproaching}) {
        connect(box, &QCheckBox::toggled, this, [this, box](bool on) {
            if (!m_loading)
                m_plugin.setProperty(box->objectName().toLatin1().constData(), on);
        });
    }
    connect(m_minZoom, QOverload<int>::of(&QSpinBox::valueChanged), this, [this](int zoom) {
        if (m_loading)
            return;
        m_plugin.setProperty("minVisibleZoom", zoom);
        QSettings().setValue(MinZoomKey, zoom);
    });

    m_filterTimer.setSingleShot(true);
    m_filterTimer.setInterval(FilterDelayMs);
    connect(&m_filterTimer, &QTimer::timeout, this, &SettingsPanel::applyFilters);
    for (QLineEdit *edit : {m_nameFilter, m_descrFilter}) {
        connect(edit, &QLineEdit::textChanged, this, [this, edit] {
            showFilterValidity(edit);
            if (!m_loading)
                m_filterTimer.start();
        });
        // Enter applies at once.
        connect(edit, &QLineEdit::returnPressed, this, [this] {
            m_filterTimer.stop();
            applyFilters();
        });
    }
    showFilterValidity(m_nameFilter);
    showFilterValidity(m_descrFilter);
    setCurrentZoom(-1);
    setEnabled(false);
}

QComboBox *SettingsPanel::addModeBox(const char *property, const QStringList &labels)
{
    auto *box = new QComboBox(this);
    box->setObjectName(QString::fromLatin1(property));
    for (int value = 0; value < labels.size(); ++value)
        box->addItem(labels.at(value), value);
    connect(box, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this, box, property] {
        if (!m_loading)
            m_plugin.setProperty(property, box->currentData().toInt());
    });
    m_modes.append({property, box});
    return box;
}

bool SettingsPanel::showAllRoutes() const
{
    return m_allRoutes->isChecked();
}

void SettingsPanel::setPlugin(const PluginHandle &plugin)
{
    m_plugin = plugin;
    setEnabled(plugin.isValid());
    reload();
}

void SettingsPanel::reload()
{
    if (!m_plugin.isValid())
        return;
    m_loading = true;
    for (const ModeBox &mode : qAsConst(m_modes)) {
        const QVariant value = m_plugin.property(mode.property);
        bool ok = false;
        const int index = mode.box->findData(value.toInt(&ok));
        // A value outside the enumeration (a hand-edited settings file) shows as no choice.
        mode.box->setCurrentIndex(ok ? index : -1);
    }
    m_onActivation->setChecked(m_plugin.property("showDtOnActivation").toBool());
    m_whenApproaching->setChecked(m_plugin.property("showDtWhenApproaching").toBool());
    m_minZoom->setValue(m_plugin.property("minVisibleZoom").toInt());
    m_nameFilter->setText(m_plugin.vehicleNameFilter());
    m_descrFilter->setText(m_plugin.vehicleDescrFilter());
    m_filterTimer.stop();
    m_loading = false;
}

void SettingsPanel::applySavedMinZoom()
{
    const QVariant saved = QSettings().value(MinZoomKey);
    bool ok = false;
    const int zoom = saved.toInt(&ok);
    if (!saved.isValid() || !ok || zoom < Road::MapView::MinZoom || zoom > Road::MapView::MaxZoom)
        return;
    m_plugin.setProperty("minVisibleZoom", zoom);
    reload();
}

void SettingsPanel::setCurrentZoom(int zoom)
{
    m_zoomNow->setText(zoom < 0 ? QString() : tr("(map: %1)").arg(zoom));
}

void SettingsPanel::applyFilters()
{
    if (m_plugin.vehicleNameFilter() != m_nameFilter->text())
        m_plugin.setVehicleNameFilter(m_nameFilter->text());
    if (m_plugin.vehicleDescrFilter() != m_descrFilter->text())
        m_plugin.setVehicleDescrFilter(m_descrFilter->text());
}

void SettingsPanel::showFilterValidity(QLineEdit *edit)
{
    // The plug-in takes any pattern; one that is not a regular expression hides every vehicle.
    const bool valid = QRegExp(edit->text()).isValid();
    edit->setStyleSheet(valid ? QString() : QStringLiteral("QLineEdit { background: #ffd6d6; }"));
    edit->setToolTip(valid ? edit->property("hint").toString()
                           : tr("Not a valid regular expression: every vehicle is hidden"));
}
