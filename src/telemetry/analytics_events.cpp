#include "telemetry/analytics_events.h"

void ReportConfig(const ConfigEvent& /*event*/) {}
