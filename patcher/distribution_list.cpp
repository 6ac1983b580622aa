#include "patcher/distribution_list.h"

#include "base/diagnostic.h"
#include "base/text.h"
#include "job_channel/worker_job.h"
#include "net/protocol.h"
#include "settings/settings.h"

#include <cctype>
#include <cstdio>
#include <string_view>

namespace {

// True for the names under which the entries of a list are kept: "Distribution" followed by a
// digit, whatever the letter case (the store's names are case-insensitive).
bool isEntryName(const std::string& name) {
    constexpr std::string_view prefix = "distribution";
    if (name.size() <= prefix.size() || name[prefix.size()] < '0' || name[prefix.size()] > '9')
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != prefix[i])
            return false;
    return true;
}

} // namespace

void fetchDistributionList(WorkerJob& job) {
    Settings& settings = job.settings;
    if (!settings.distListPending)
        return;
    job.status("Connecting");
    if (!job.connected())
        job.connect();
    job.status("Waiting for Response");

    // Every entry of an earlier list goes, whatever its number, so the store keeps no more
    // entries than the list it came from.
    std::vector<StoreChange> stale;
    for (auto& [name, data] : settings.key.readAll())
        if (isEntryName(name))
            stale.push_back({name, std::nullopt});
    if (!stale.empty())
        settings.key.apply(stale);

    {
        // A list that was cut short before is asked for again in whole.
        std::lock_guard guard(settings.distributionLinesLock);
        settings.distributionLines.clear();
    }
    bool found = settings.distribution == 0;
    std::vector<StoreChange> entries;
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
        entries.push_back({valueName, line.substr(spaced ? digits + 1 : digits)});
    };
    DistributionListOutcome outcome = distributionListExchange(
        job.connection, [&job] { job.status("Downloading Distribution list"); }, onEntry);
    // One transaction for the whole list rather than one per entry.
    settings.key.apply(entries);
    if (outcome.tooLong)
        job.fatal("Distribution list is WAY too long");
    // A list without its end line is not the server's list: no choice is made from it, and the
    // next pass asks for it again.
    if (!outcome.ended) {
        // Silence from the start is no list cut short: nothing of it came.
        if (job.connection.end() == LinkEnd::timedOut && job.connection.awaitingReply())
            job.fatal("%s", serverDidNotAnswer);
        job.fatal("Distribution list cut short: %s", endText(job.connection.end()));
    }
    settings.serverWdbVersion = outcome.version;
    diagnostic("m_version = %ld\n", static_cast<long>(outcome.version));
    if (!found)
        settings.mustChooseDistribution = 1;
    settings.distListPending = 0;
}
