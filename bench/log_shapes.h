// What both log benchmarks (ours and spdlog's) measure: one message, the same
// call counts, the same thread shapes.
#pragma once

// The message, in printf form for our log call and in fmt form for spdlog's:
// both make "no response signal. wait ret=<n>".
constexpr const char* kLogMessagePrintf = "no response signal. wait ret=%u";
constexpr const char* kLogMessageFmt = "no response signal. wait ret={}";

// Calls per burst, split evenly over the threads of the 4-thread shape.
constexpr int kFilteredCalls = 5000000;
constexpr int kQueuedCalls = 100000;

// Bursts per figure (the first burst of the process aside, which is measured
// once): each figure is the median of its bursts, so one burst that another
// process of the machine interrupted does not make it.
constexpr int kBursts = 5;
