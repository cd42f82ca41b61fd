#include "demosource.h"

#include "demooptions.h"
#include "sim/replayer.h"
#include "sim/server.h"
#include "simsetup.h"

DemoSource::DemoSource(const DemoOptions &options)
{
    if (!options.serverUrl.isEmpty()) {
        m_url = options.serverUrl;
        return;
    }
    if (!options.replayFile.isEmpty()) {
        Sim::Recording recording = Sim::Recording::load(options.replayFile);
        if (!recording.ok()) {
            m_error = QStringLiteral("Recording refused: %1").arg(recording.error());
            return;
        }
        m_summary = QStringLiteral("recording of %1 s from %2, %3 boards")
                        .arg(recording.duration())
                        .arg(recording.start().toString(Qt::ISODate))
                        .arg(recording.initial().boards.size());
        // The replay answers every query; the server's own world stays empty and still.
        m_simulator = std::make_unique<Sim::Server>(Sim::Network{});
        m_simulator->setTickInterval(0);
        m_replayer = std::make_unique<Sim::Replayer>(std::move(recording), m_simulator.get());
    } else {
        DemoNetwork::Built built = options.gtfsDir.isEmpty() ? DemoNetwork::generated() : DemoNetwork::fromGtfs(options.gtfsDir);
        m_warnings = built.warnings;
        if (!built.ok) {
            m_error = built.error;
            return;
        }
        m_summary = built.summary;
        m_area = DemoNetwork::bounds(built.network);
        m_simulator = std::make_unique<Sim::Server>(std::move(built.network));
    }
    if (!m_simulator->listen()) {
        m_error = QStringLiteral("The embedded simulator cannot listen: %1").arg(m_simulator->errorString());
        m_replayer.reset();
        m_simulator.reset();
        return;
    }
    m_url = m_simulator->url();
}

// The replayer holds the server: it goes first.
DemoSource::~DemoSource()
{
    m_replayer.reset();
}
