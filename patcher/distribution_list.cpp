#include "patcher/distribution_list.h"

#include "app/job/diagnostic.h"
#include "app/job/worker_job.h"
#include "net/protocol.h"
#include "settings/format_string.h"
#include "settings/settings.h"

#include <cstdio>

namespace {

constexpr int stalestDistributionNumber = 19;

} // namespace

void fetchDistributionList(WorkerJob& job) {
    Settings& settings = job.settings;
    if (!settings.distListPending)
        return;
    job.status("Connecting");
    if (!job.connected())
        job.connect();
    job.status("Waiting for Response");

    std::string name;
    for (int i = 1; i <= stalestDistributionNumber; ++i) {
        formatString(name, "Distribution%d", i);
        settings.deleteValue(name);
    }

    bool found = settings.distribution == 0;
    auto onEntry = [&](const std::string& line) {
        {
            std::lock_guard guard(settings.distributionLinesLock);
            settings.distributionLines.push_back(line);
        }
        std::size_t digits = 0;
        while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9')
            ++digits;
        if (decimalValue(line) == settings.distribution)
            found = true;
        // A line that does not begin with a number names no distribution; writing it would put
        // "Distribution" itself, the user's choice, at the server's mercy.
        if (digits == 0)
            return;
        bool spaced = digits < line.size() && line[digits] == ' ';
        std::string valueName = "Distribution" + (spaced ? line.substr(0, digits) : line);
        settings.writeString(valueName, line.substr(spaced ? digits + 1 : digits));
    };
    DistributionListOutcome outcome = distributionListExchange(
        job.connection, [&job] { job.status("Downloading Distribution list"); }, onEntry);
    if (outcome.ended) {
        settings.serverWdbVersion = outcome.version;
        diagnostic("m_version = %ld\n", static_cast<long>(outcome.version));
    }
    if (!found)
        settings.mustChooseDistribution = 1;
    settings.distListPending = 0;
}
