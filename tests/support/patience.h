#pragma once

// How long a test waits for what a busy machine delays: video frames, a
// window becoming active, a process starting, a local request. CI runs two
// suites at once on two cores, so these bounds are generous; a test that
// passes never waits them out.
constexpr int busyMachinePatienceMs = 60000;
