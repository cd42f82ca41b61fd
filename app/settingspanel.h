#pragma once

#include <QTimer>
#include <QWidget>

#include "pluginhandle.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;

// The plug-in's display settings and vehicle filters as widgets. Every change goes straight
// to the plug-in (which stores it in the application's settings); reload() shows what the
// plug-in holds. The detectors' minimum zoom is the one setting the plug-in does not keep,
// so the panel keeps it under the host's own group.
class SettingsPanel : public QWidget
{
    Q_OBJECT
public:
    explicit SettingsPanel(QWidget *parent = nullptr);

    void setPlugin(const PluginHandle &plugin);
    // Shows the plug-in's current values; writes nothing back.
    void reload();
    // Gives the plug-in the minimum zoom saved by an earlier session, if there is one.
    void applySavedMinZoom();

    // Filters are applied this long after the last keystroke.
    static constexpr int FilterDelayMs = 400;
    // Host settings key of the detectors' minimum zoom.
    static const QString MinZoomKey;
    // Host settings key of "show all routes" (the plug-in draws a route only while it is
    // selected, unless the host asks it to keep the route shown).
    static const QString ShowAllRoutesKey;

    bool showAllRoutes() const;

signals:
    void showAllRoutesChanged(bool show);

public slots:
    void setCurrentZoom(int zoom);

private:
    QComboBox *addModeBox(const char *property, const QStringList &labels);
    void applyFilters();
    void showFilterValidity(QLineEdit *edit);

    PluginHandle m_plugin;
    struct ModeBox
    {
        const char *property;
        QComboBox *box;
    };
    QVector<ModeBox> m_modes;
    QCheckBox *m_allRoutes = nullptr;
    QCheckBox *m_onActivation = nullptr;
    QCheckBox *m_whenApproaching = nullptr;
    QSpinBox *m_minZoom = nullptr;
    QLabel *m_zoomNow = nullptr;
    QLineEdit *m_nameFilter = nullptr;
    QLineEdit *m_descrFilter = nullptr;
    QTimer m_filterTimer;
    bool m_loading = false;
};
