#pragma once
// Resident memory of the process, from /proc/self.

namespace tavro::bench {

// Starts a new peak-resident-memory window (Linux clear_refs); false when the
// kernel refuses, in which case the peak counts from the start of the process.
bool resetPeakResident();

// Peak and current resident set in MiB; 0 when unknown.
double peakResidentMiB();
double currentResidentMiB();

} // namespace tavro::bench
