// Collects the trace output written while the object lives, with one component's level set;
// puts the previous trace stream back and every level to 0 afterwards.
#pragma once

#include <cstdio>
#include <string>

#include "testutil.h"
#include "ultrace.h"

class TraceCapture {
  public:
    TraceCapture(ul_tracetype_e component, unsigned level) : previous_(ul_tracegetglobalfileptr()) {
        ul_traceresetlevels();
        ul_tracesetlevel(component, level, 0);
        ul_tracesetglobalfileptr(stream_.get());
    }
    ~TraceCapture() {
        ul_tracesetglobalfileptr(previous_);
        ul_traceresetlevels();
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::string text() { return stream_.text(); }

  private:
    MemoryStream stream_;
    FILE* previous_;
};
