#pragma once

// Brings the loopback interface of the current network namespace up; false with errno set on
// failure. The tests, the benchmarks and the screenshot tool each run in a namespace of their
// own, where "lo" starts down.
bool BringLoopbackUp();
