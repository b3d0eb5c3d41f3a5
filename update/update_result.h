#pragma once
// The outcome of an update job.

namespace qv {

// Outcome of one job, posted to the window as lParam of WM_UPDATEDONE.
enum UpdateResult : int {
    UPDATE_OK = 0,                   // nothing to do, another updater runs, or done
    UPDATE_E_FILELIST_DOWNLOAD = 1,  // fetching filelist.dat failed
    UPDATE_E_LIST_READ = 2,          // a list file could not be opened
    UPDATE_E_DOWNLIST_WRITE = 3,     // downlist.dat could not be created
    UPDATE_E_FILE_DOWNLOAD = 4,      // a file did not arrive with its CRC-32 in 3 attempts
    UPDATE_E_EXTRACT = 6,            // a downloaded archive could not be extracted, or its
                                     // file is not the one the list names
    UPDATE_E_INSTALL = 7,            // staged files could be neither moved nor registered
                                     // for the next start, or the new updater did not start
    UPDATE_E_VERSION_CHECK = 8,      // the server's ver.dat could not be fetched
    UPDATE_E_SIGNATURE = 9,          // signed mode: the release is not the one its keys
                                     // signed (or cannot be checked); nothing installed
    UPDATE_E_NO_APP_DIR = 10,        // the installation directory could not be found
    UPDATE_E_OUT_OF_MEMORY = 11,     // the job ran out of memory and was given up
    UPDATE_RESTART_PENDING = 12,     // an installation waits for the next system start:
                                     // nothing may change until it has run
    UPDATE_STOPPED = 100,            // the stop flag was found set
};

}  // namespace qv
