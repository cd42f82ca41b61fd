#include "backoff.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>

namespace {

Backoff::Options sane(Backoff::Options o)
{
    o.firstMs = std::max(0, o.firstMs);
    o.maxMs = std::max(o.firstMs, o.maxMs);
    if (!std::isfinite(o.factor) || o.factor < 1.0)
        o.factor = 1.0;
    if (!std::isfinite(o.jitter))
        o.jitter = 0.0;
    o.jitter = std::clamp(o.jitter, 0.0, 1.0);
    return o;
}

} // namespace

Backoff::Backoff(const Options &options, std::function<double()> uniform)
    : m_options(sane(options))
    , m_uniform(uniform ? std::move(uniform) : [] { return QRandomGenerator::global()->generateDouble(); })
    , m_baseMs(m_options.firstMs)
{
}

int Backoff::nextDelayMs()
{
    if (m_options.firstMs == 0)
        return -1;
    const double u = std::clamp(m_uniform(), 0.0, 1.0);
    const double spread = 1.0 + m_options.jitter * (2.0 * u - 1.0);
    const double delay = std::min(double(m_options.maxMs), m_baseMs * spread);
    m_baseMs = std::min(double(m_options.maxMs), m_baseMs * m_options.factor);
    ++m_failures;
    return int(std::lround(delay));
}

void Backoff::reset()
{
    m_baseMs = m_options.firstMs;
    m_failures = 0;
}
