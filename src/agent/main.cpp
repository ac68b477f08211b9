#include "platform/host/SystemLog.h"

// Placeholder until the reminder agent lands: starts, says so, and ends cleanly.
int main() {
    keldo::logLine("keldo-agent: no reminder policy yet; exiting");
    return 0;
}
