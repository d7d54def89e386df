// The service's one rule about display outputs.
#pragma once

// When the first or the second output alone is active and the driver
// designates another, makes the designated one active. Runs at start-up on the
// service thread and after each resume on the dispatcher thread; the runs are
// made one at a time.
void RestoreDisplaySelection();
