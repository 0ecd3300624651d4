#!/usr/bin/env python3
"""The tests' own OAuth2 authorization server, on a loopback address.
  auth-server.py ADDRESS PORT DIR
GET  /authorize  approves at once: a redirect to redirect_uri with a code and
                 the state (error=access_denied when client_id is "deny").
POST /token      authorization_code (PKCE S256 checked) or refresh_token: a
                 short-lived access token and a new refresh token each time;
                 a used refresh token is refused with invalid_grant.
                 A refresh token "seed.ACCOUNT.NONCE[.ttlN]" is good once (the
                 tests store it as if signed in); "error.CODE" answers
                 Microsoft's error for that AADSTS code.
GET  /introspect what Dovecot's oauth2 passdb asks (Authorization: Bearer).
Every token request is one line of DIR/requests.log: grant, and what it gave."""
import base64
import hashlib
import json
import os
import secrets
import sys
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

address, port, folder = sys.argv[1], int(sys.argv[2]), sys.argv[3]
codes = {}      # code -> (account, challenge, redirect_uri, ttl)
refresh = {}    # live refresh token -> (account, ttl)
used = set()
access = {}     # access token -> (account, expiry)

AADSTS = {"65001": ("invalid_grant", "AADSTS65001: The user or administrator has not consented."),
          "90094": ("invalid_grant", "AADSTS90094: An administrator must grant permission."),
          "50020": ("invalid_request", "AADSTS50020: User account from live.com does not exist in tenant.")}


def log(text):
    with open(os.path.join(folder, "requests.log"), "a") as f:
        f.write(text + "\n")


def tokens(account, ttl):
    token = "at-" + secrets.token_urlsafe(1200)   # as long as Microsoft's, near 2 KB
    access[token] = (account, time.time() + ttl)
    new = "rt-" + secrets.token_urlsafe(24)
    refresh[new] = (account, ttl)
    return {"access_token": token, "token_type": "Bearer", "expires_in": ttl, "refresh_token": new,
            "scope": "mail"}


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def answer(self, status, body, headers=()):
        data = json.dumps(body).encode() if body is not None else b""
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def introspect(self):
        token = self.headers.get("Authorization", "").removeprefix("Bearer ")
        account, expiry = access.get(token, ("", 0))
        if time.time() >= expiry:
            return self.answer(200, {"active": False})
        return self.answer(200, {"active": True, "email": account})

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path == "/introspect":
            return self.introspect()
        if url.path != "/authorize":
            return self.answer(404, None)
        q = dict(urllib.parse.parse_qsl(url.query))
        target = q.get("redirect_uri", "")
        if q.get("client_id") == "deny":
            reply = {"error": "access_denied", "state": q.get("state", "")}
        else:
            code = "code-" + secrets.token_urlsafe(12)
            codes[code] = (q.get("login_hint", "poptest"), q.get("code_challenge", ""), target, 3600)
            reply = {"code": code, "state": q.get("state", "")}
        self.answer(302, None, [("Location", target + "?" + urllib.parse.urlencode(reply))])

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))
        if self.path == "/introspect":
            return self.introspect()
        if self.path != "/token":
            return self.answer(404, None)
        grant = form.get("grant_type", "")
        if grant == "authorization_code":
            account, challenge, target, ttl = codes.pop(form.get("code", ""), ("", "", "", 0))
            verifier = form.get("code_verifier", "").encode()
            computed = base64.urlsafe_b64encode(hashlib.sha256(verifier).digest()).rstrip(b"=").decode()
            if not account or computed != challenge or form.get("redirect_uri") != target:
                log("code refused")
                return self.answer(400, {"error": "invalid_grant", "error_description": "bad code or verifier"})
            log("code " + account)
            return self.answer(200, tokens(account, ttl))
        if grant == "refresh_token":
            old = form.get("refresh_token", "")
            if old.startswith("error."):
                error, text = AADSTS[old[6:]]
                log("refresh error " + old[6:])
                return self.answer(400, {"error": error, "error_description": text,
                                         "error_codes": [int(old[6:])]})
            if old.startswith("seed.") and old not in used:
                parts = old.split(".")
                ttl = next((int(p[3:]) for p in parts[3:] if p.startswith("ttl")), 3600)
                refresh[old] = (parts[1], ttl)
            if old not in refresh:
                log("refresh refused")
                return self.answer(400, {"error": "invalid_grant",
                                         "error_description": "AADSTS70000: The refresh token was already used."})
            account, ttl = refresh.pop(old)
            used.add(old)
            log("refresh " + account)
            return self.answer(200, tokens(account, ttl))
        return self.answer(400, {"error": "unsupported_grant_type"})


ThreadingHTTPServer.allow_reuse_address = True
server = ThreadingHTTPServer((address, port), Handler)
with open(os.path.join(folder, "auth-server.pid"), "w") as f:
    f.write(str(os.getpid()))
server.serve_forever()
