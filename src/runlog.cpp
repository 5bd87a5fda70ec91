#include "runlog.h"

#include <cstdio>
#include <cstring>
#include <syslog.h>

// Logged without a format of the texts' own: IDs, names and packages come from files.
void logStart(const runRecord &run)
{
    openlog("orvTQupdate", LOG_PID, LOG_USER);
    syslog(LOG_NOTICE, "%s in %s with the info file %s", run.dryRun ? "dry run" : "run",
           run.directory != nullptr ? run.directory : "an unknown directory", run.infoFile);
}

void logUpdateStart(const adapterResult &result)
{
    syslog(LOG_NOTICE, "adapter %d, ID %s, %s: updating with %s%s%s", result.adapter, result.id,
           result.record->adapterName, result.record->updatePackage, result.sha256 != nullptr ? ", SHA-256 " : "",
           result.sha256 != nullptr ? result.sha256 : "");
}

void logUpdateEnd(const adapterResult &result)
{
    const waitReading reading = readWaitStatus(result.ran ? result.waitStatus : -1);
    char how[64] = "the update could not start";
    if (reading.exitCode >= 0)
        std::snprintf(how, sizeof how, "exit code %d", reading.exitCode);
    else if (reading.signal != 0)
        std::snprintf(how, sizeof how, "ended by signal %d", reading.signal);
    const bool updated = result.state == STATE_UPDATED;
    syslog(updated ? LOG_NOTICE : LOG_ERR, "adapter %d, ID %s: %s, %s", result.adapter, result.id,
           updated ? "updated" : "update failed", how);
}

void logVerified(const adapterResult &result)
{
    const bool answers = result.verified == VERIFY_PASSED;
    syslog(answers ? LOG_NOTICE : LOG_ERR, "adapter %d, ID %s: %s after its update", result.adapter, result.id,
           answers ? "answers with its ID" : "does not answer with its ID");
}

void logEnd(const runRecord &run)
{
    int counts[STATES];
    countStates(run, counts);
    const char *end = outcome(run);
    const bool bad = std::strcmp(end, "updated") != 0 && std::strcmp(end, "would update") != 0 &&
                     std::strcmp(end, "nothing covered") != 0;
    syslog(bad ? LOG_ERR : LOG_NOTICE,
           "%s, exit status %d; adapters: %d updated, %d failed, %d not covered, %d no id, %d would update, %d would fail, "
           "%d unverified",
           end, exitStatus(run) & 0xff, counts[STATE_UPDATED], counts[STATE_FAILED], counts[STATE_NOT_COVERED],
           counts[STATE_NO_ID], counts[STATE_WOULD_UPDATE], counts[STATE_WOULD_FAIL], counts[STATE_UNVERIFIED]);
    closelog();
}
