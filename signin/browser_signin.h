// Signing in through the user's own browser: the authorization-code flow
// with PKCE, the redirect to a listener on this computer's loopback
// address, and a small window with Cancel while the browser is open. Win32
// side; the dialogs call it.
#pragma once

#include <windows.h>

#include "signin/sign_in.h"

// How long the browser may take: 10 minutes (the tests shorten it).
extern DWORD signin_give_up_ms;
// The sign-in for who, from the dialog owner: none when it is stored (and
// its access token kept), else why not (nothing shown yet).
SigninError sign_in_with_browser(HWND owner, const SigninFor& who);
