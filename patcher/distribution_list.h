#pragma once

class WorkerJob;

// Fetches the list of distributions once per run of the program: keeps the entry lines for the
// distribution choice, mirrors them into the store as "Distribution<n>" values, takes the WDB
// version from the end of the reply and decides whether the user must choose a distribution.
void fetchDistributionList(WorkerJob& job);
