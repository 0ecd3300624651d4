# The one Dovecot configuration of the tests and the demo (sourced by
# demo-mailbox and tls-mailbox): user poptest / Secr3t on a loopback address,
# plain POP3 on 110 and, given a certificate, STLS there and TLS on 995.
#   dovecot_start HOME ADDRESS MESSAGES [CERT KEY [EXTRA_CONFIGURATION]]
#   (ports: $DOVECOT_POP3_PORT, default 110, $DOVECOT_POP3S_PORT, 995, and
#   with a certificate IMAP over TLS on $DOVECOT_IMAPS_PORT, 993; and
#   $DOVECOT_READ_MESSAGES messages already read, default none; with
#   $DOVECOT_OAUTH_URL, an introspection endpoint, the login is OAuth2 only:
#   XOAUTH2 and OAUTHBEARER for the account poptest, and IMAP without TLS
#   on 143 too)
#   dovecot_stop HOME...   (our own instances, by their master.pid; all at once)

dovecot_taken() {   # address port... : true when something already answers
    local address=$1 port; shift
    for port in "$@"; do (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null && return 0; done
    return 1
}

dovecot_start() {
    local home=$1 address=$2 messages=$3 cert=${4:-} key=${5:-} extra=${6:-} i
    local pop3=${DOVECOT_POP3_PORT:-110} pop3s=${DOVECOT_POP3S_PORT:-995} imaps=${DOVECOT_IMAPS_PORT:-993}
    local ssl="ssl = no" listeners="" port=$pop3 protocols=pop3 imap=0
    local mechanisms=plain passdb="driver = passwd-file
  args = scheme=PLAIN $home/users"
    if [ -n "${DOVECOT_OAUTH_URL:-}" ]; then
        imap=143 mechanisms="xoauth2 oauthbearer"
        passdb="driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $home/oauth2.conf"
        cat > "$home/oauth2.conf" <<OAUTH
introspection_url = $DOVECOT_OAUTH_URL
introspection_mode = auth
username_attribute = email
active_attribute = active
active_value = true
force_introspection = yes
OAUTH
    fi
    rm -rf "$home/run" "$home/mail"
    mkdir -p "$home/run" "$home/mail/poptest/Maildir/"{new,cur,tmp}
    # Headers as Japanese mail has them: the sender's name in ISO-2022-JP
    # (山田太郎), the subject in UTF-8 (会議の件 N), both encoded-words.
    for i in $(seq "$messages"); do
        printf 'From: =?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?= <taro@example.jp>\r\nTo: poptest@example.jp\r\nSubject: =?UTF-8?B?%s?=\r\n\r\nHello %d.\r\n' \
            "$(printf '会議の件 %d' "$i" | base64 -w0)" "$i" > "$home/mail/poptest/Maildir/new/100000000$i.M1P1.demo"
    done
    for i in $(seq "${DOVECOT_READ_MESSAGES:-0}"); do
        printf 'From: demo@example.jp\r\nTo: poptest@example.jp\r\nSubject: read %d\r\n\r\nRead %d.\r\n' \
            "$i" "$i" > "$home/mail/poptest/Maildir/cur/200000000$i.M1P1.demo:2,S"
    done
    # Dovecot refuses to run a mailbox as root; its own user must read the way there.
    chown -R 65534:65534 "$home/mail"
    chmod 755 "$home" "$(dirname "$home")"
    echo "poptest:{PLAIN}Secr3t" > "$home/users"; chmod 644 "$home/users"
    if [ -n "$cert" ]; then
        ssl="ssl = yes
ssl_cert = <$cert
ssl_key = <$key
ssl_min_protocol = TLSv1.2"
        listeners="service pop3-login {
  inet_listener pop3 {
    address = $address
    port = $pop3
  }
  inet_listener pop3s {
    address = $address
    port = $pop3s
    ssl = yes
  }
}
service imap-login {
  inet_listener imap {
    address = $address
    port = $imap
  }
  inet_listener imaps {
    address = $address
    port = $imaps
    ssl = yes
  }
}"
        port=$pop3s protocols="pop3 imap"
    fi
    cat > "$home/dovecot.conf" <<CONF
protocols = $protocols
listen = $address
base_dir = $home/run
$ssl
$extra
disable_plaintext_auth = no
auth_mechanisms = $mechanisms
# A wrong password is answered at once: the delays against guessing, up to
# 15 s from the same address, would only slow the tests down.
auth_failure_delay = 0
# A message written into the Maildir is told to an IDLE client at once.
mailbox_idle_check_interval = 1 secs
login_trusted_networks = 127.0.0.0/8
log_path = $home/dovecot.log
passdb {
  $passdb
}
userdb {
  driver = static
  args = uid=65534 gid=65534 home=$home/mail/%u
}
mail_location = maildir:~/Maildir
$listeners
CONF
    dovecot -c "$home/dovecot.conf" </dev/null >/dev/null 2>&1
    for _ in $(seq 100); do
        dovecot_taken "$address" "$port" && return 0
        sleep 0.1
    done
    echo "Dovecot on $address did not start, see $home/dovecot.log" >&2
    return 1
}

dovecot_stop() {
    local home pids=()
    for home in "$@"; do
        [ -f "$home/run/master.pid" ] || continue
        pids+=("$(cat "$home/run/master.pid")")
        rm -f "$home/run/master.pid"
    done
    [ ${#pids[@]} -gt 0 ] || return 0
    # A session whose process the master was starting as it ended outlives
    # it (seen: a push connection idling on for 14 s): the masters are held
    # still, and their processes told to end with them.
    local children=()
    kill -STOP "${pids[@]}" 2>/dev/null || true
    for pid in "${pids[@]}"; do children+=($(ps -o pid= --ppid "$pid")); done
    kill "${pids[@]}" "${children[@]}" 2>/dev/null || true
    kill -CONT "${pids[@]}" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "${pids[@]}" 2>/dev/null || break; sleep 0.1; done
}
