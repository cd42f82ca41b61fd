#pragma once

#include <QtGlobal>

#include <functional>

#include "jsonrpcexport.h"

// The waits between attempts to reach a server that is away: the first wait is firstMs, each
// next one factor times the one before, never above maxMs. Every wait is spread by up to
// jitter of itself either way at random, so that the clients a server lost all at once do
// not all come back at the same moment; spread or not, no wait is longer than maxMs.
struct BackoffOptions
{
    // 0: never try again.
    int firstMs = 1000;
    double factor = 1.6;
    int maxMs = 30000;
    double jitter = 0.2;
};

class JSONRPC_EXPORT Backoff
{
public:
    using Options = BackoffOptions;

    // uniform gives numbers in [0, 1); by default Qt's global random generator.
    explicit Backoff(const Options &options = Options(), std::function<double()> uniform = {});

    // The wait before the next attempt; each call makes the following one longer. -1 when
    // the options say never to try again.
    int nextDelayMs();
    // After a success: the next wait is the first one again.
    void reset();
    // Waits handed out since the last reset.
    int failures() const { return m_failures; }
    const Options &options() const { return m_options; }

private:
    Options m_options;
    std::function<double()> m_uniform;
    double m_baseMs;
    int m_failures = 0;
};
