// Small file helpers for the Windows tests.
#pragma once

#include <string>

std::string read_file_bytes(const std::string& path);
bool write_file_bytes(const std::string& path, const std::string& bytes);
// A fresh empty folder under the test's working directory; returns its full path.
std::string make_scratch_folder(const std::string& name);
// A Windows path on a drive in program path form: no drive, forward slashes.
std::string program_path_of(const std::string& windows_path);
// A path relative to the folder of this test program, whatever folder it
// runs in.
std::string beside_this_program(const std::string& relative);
// The folder of the TLS test mailboxes (tests/support/tls-mailbox): beside
// the 64-bit tests, or the 32-bit layer's.
std::string tls_folder();
// The Maildir of a TLS test mailbox (tests/support/tls-mailbox) at address:
// beside the 64-bit tests, or the 32-bit layer's.
std::string tls_maildir(const char* address);
// An oauth.ini section for host naming the tls fixture's authorization
// server (tests/support/auth-server.py) with client_id.
std::string test_registration(const char* host, const char* client_id = "quillbeam-test");
// The tests' browser (tests/support/test-browser, named by the test's
// QB_TEST_BROWSER) as this prefix's browser, doing mode (see the script),
// its log (QB_BROWSER_LOG) emptied.
void use_test_browser(const char* mode);
// What the tests' browser saw so far, waiting up to wait_ms for `seen` in it.
std::string browser_log(const std::string& seen = "", unsigned long wait_ms = 0);
// Removes a file whatever its attributes.
void remove_file(const std::string& path);

// A file outside the test's scratch folder that a test overwrites: kept
// before, put back after, so a run on a real machine destroys nothing.
struct KeptFile {
    std::string path;
    bool existed;
    std::string bytes;
    unsigned long attributes;
};
KeptFile keep_file(const std::string& path);
void put_back(const KeptFile& kept);
