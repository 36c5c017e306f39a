#!/bin/sh
# Throw-away test servers for the publishing tests. They listen on 127.0.0.1
# only and serve a fresh folder below ROOT.
#
#   testserver.sh start KIND ROOT PORT [IDENTITY]   runs the server in the foreground
#   testserver.sh stop PID                          stops PID and every process below it
#
# KIND is one of
#   pyftpd, pyftpd-explicit, pyftpd-implicit   python3-pyftpdlib (scripts/ftpserver.py)
#   vsftpd, vsftpd-explicit, vsftpd-implicit   Debian's vsftpd
#   vsftpd-nochroot                            vsftpd, log-in folder below the server's top
#   sftp                                       OpenSSH's sshd with internal-sftp
#   sftp-pam                                   sshd that also takes the password as
#                                              keyboard-interactive (PAM), as many hosts do
#   sftp-keyboard                              sshd that takes it as keyboard-interactive only
# "explicit" asks for AUTH TLS before the log-in, "implicit" speaks TLS from
# the first byte. The files land in ROOT/ftp (sftp: ROOT/ftp/home/USER, the
# user's home inside the chroot ROOT/ftp). ROOT must be on a path whose every
# folder is owned by root and writable by nobody else (sshd's chroot rule), so
# use something like /var/lib/quillary-test/NAME, not /tmp.
#
# The servers prove who they are as a real host does: by a key that stays the
# same from one start to the next. Without IDENTITY every TLS server uses one
# self-signed certificate and every sshd one host key, made once in
# IDENTITY_DIR (default /var/lib/quillary-test/identity), so a client that
# remembers a server's identity meets the same one again, also on port 990.
# IDENTITY is a PEM file holding the private key and the certificate chain
# (vsftpd, pyftpd) or an OpenSSH private host key (sftp), for tests that show
# a server with another certificate or key.
#
# vsftpd runs with TLS as a host enables it and everything else at its
# defaults (session reuse on data connections required, Debian's ciphers).
# It logs every command and reply to ROOT/vsftpd.log ("OK LOGIN" per log-in,
# "FTP response: ... 522 ..." per refused data connection); sshd logs each
# authentication request to its output, ROOT/server.log with TestServer.
#
# vsftpd and sshd check real system passwords, so this script makes the
# throw-away system user quillarytest (home /home/quillarytest, password "quillary-test-pw")
# when it is missing, and the PAM service /etc/pam.d/quillary-test-vsftpd.
# pyftpd uses the same name and password without touching the system, and
# also lets anonymous log in. Remove them with "userdel -r quillarytest".
set -eu

TEST_USER=quillarytest
TEST_PASSWORD=quillary-test-pw
HERE=$(cd "$(dirname "$0")" && pwd)
IDENTITY_DIR=${IDENTITY_DIR:-/var/lib/quillary-test/identity}

ensure_user() {
    # Several tests may start servers at once; make the user only once.
    exec 9>/run/quillary-test-user.lock
    flock -w 30 9
    if ! id "$TEST_USER" >/dev/null 2>&1; then
        useradd --create-home --home-dir "/home/$TEST_USER" --shell /bin/sh "$TEST_USER"
        echo "$TEST_USER:$TEST_PASSWORD" | chpasswd
    fi
    # vsftpd enters the home folder before its local_root.
    if [ ! -d "/home/$TEST_USER" ]; then
        mkdir -p "/home/$TEST_USER"
        chown "$TEST_USER" "/home/$TEST_USER"
    fi
    if [ ! -f /etc/pam.d/quillary-test-vsftpd ]; then
        printf 'auth required pam_unix.so nodelay\naccount required pam_unix.so\n' \
            > /etc/pam.d/quillary-test-vsftpd
    fi
    flock -u 9
    exec 9>&-
}

# The shared certificate and host key, made once by whichever server starts
# first. They last ten years: a test run must never see them change.
shared_identity() {
    mkdir -p "$IDENTITY_DIR"
    chmod 700 "$IDENTITY_DIR"
    exec 8>"$IDENTITY_DIR/.lock"
    flock -w 30 8
    if [ ! -s "$IDENTITY_DIR/server.pem" ]; then
        openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=127.0.0.1 \
            -addext subjectAltName=IP:127.0.0.1 \
            -keyout "$IDENTITY_DIR/server.pem.new" -out "$IDENTITY_DIR/server.pem.new" >/dev/null 2>&1
        mv "$IDENTITY_DIR/server.pem.new" "$IDENTITY_DIR/server.pem"
    fi
    if [ ! -s "$IDENTITY_DIR/host_ed25519" ]; then
        rm -f "$IDENTITY_DIR/host_ed25519.new" "$IDENTITY_DIR/host_ed25519.new.pub"
        ssh-keygen -q -t ed25519 -N '' -f "$IDENTITY_DIR/host_ed25519.new"
        mv "$IDENTITY_DIR/host_ed25519.new" "$IDENTITY_DIR/host_ed25519"
        rm -f "$IDENTITY_DIR/host_ed25519.new.pub"
    fi
    flock -u 8
    exec 8>&-
}

# Copies the server's key (the given one or the shared one) into its folder.
install_identity() {
    given=$1 shared=$2 target=$3
    if [ -n "$given" ]; then
        install -m 600 "$given" "$target"
    else
        shared_identity
        install -m 600 "$IDENTITY_DIR/$shared" "$target"
    fi
}

start_vsftpd() {
    mode=$1 root=$2 port=$3 identity=${4:-} chroot=YES
    if [ "$mode" = nochroot ]; then mode=plain chroot=NO; fi
    ensure_user
    mkdir -p "$root/ftp" "$root/empty"
    chown "$TEST_USER" "$root/ftp"
    chmod 555 "$root/empty"
    conf=$root/vsftpd.conf
    # The tests read the log as an ordinary user; vsftpd keeps the mode.
    touch "$root/vsftpd.log"
    chmod 644 "$root/vsftpd.log"
    cat > "$conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$root/ftp
chroot_local_user=$chroot
allow_writeable_chroot=YES
secure_chroot_dir=$root/empty
pam_service_name=quillary-test-vsftpd
userlist_enable=NO
tcp_wrappers=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
delay_failed_login=0
pasv_enable=YES
pasv_address=127.0.0.1
xferlog_enable=YES
log_ftp_protocol=YES
vsftpd_log_file=$root/vsftpd.log
CONF
    if [ "$mode" != plain ]; then
        install_identity "$identity" server.pem "$root/server.pem"
        cat >> "$conf" <<CONF
ssl_enable=YES
rsa_cert_file=$root/server.pem
rsa_private_key_file=$root/server.pem
force_local_logins_ssl=YES
force_local_data_ssl=YES
CONF
        [ "$mode" = implicit ] && echo implicit_ssl=YES >> "$conf"
    fi
    exec /usr/sbin/vsftpd "$conf"
}

start_sftp() {
    methods=$1 root=$2 port=$3 identity=${4:-}
    password=yes keyboard=no pam=no
    case "$methods" in
        pam) keyboard=yes pam=yes ;;
        keyboard) password=no keyboard=yes pam=yes ;;
    esac
    ensure_user
    mkdir -p /run/sshd "$root/ftp/home/$TEST_USER"
    chmod 755 "$root" "$root/ftp" "$root/ftp/home"
    chown "$TEST_USER" "$root/ftp/home/$TEST_USER"
    install_identity "$identity" host_ed25519 "$root/host_ed25519"
    cat > "$root/sshd_config" <<CONF
ListenAddress 127.0.0.1:$port
HostKey $root/host_ed25519
PidFile none
PasswordAuthentication $password
KbdInteractiveAuthentication $keyboard
PubkeyAuthentication no
PermitRootLogin no
UsePAM $pam
AllowUsers $TEST_USER
Subsystem sftp internal-sftp
ChrootDirectory $root/ftp
StrictModes no
MaxStartups 100:30:200
LogLevel DEBUG1
CONF
    exec /usr/sbin/sshd -D -e -f "$root/sshd_config"
}

start_pyftpd() {
    mode=$1 root=$2 port=$3 identity=${4:-}
    mkdir -p "$root/ftp"
    [ "$mode" = ftp ] || install_identity "$identity" server.pem "$root/server.pem"
    exec /usr/bin/python3 "$HERE/ftpserver.py" --root "$root/ftp" --user "$TEST_USER" \
        --password "$TEST_PASSWORD" --anonymous --cert "$root/server.pem" "--$mode" "$port"
}

stop_tree() {
    # The servers fork per connection (and sshd's children start sessions of
    # their own), so walk the parent links rather than trust the group.
    pids=$1 all=
    while [ -n "$pids" ]; do
        all="$all $pids"
        next=
        for p in $pids; do next="$next $(ps -o pid= --ppid "$p" | tr '\n' ' ')"; done
        pids=$(echo $next)
    done
    kill -TERM $all 2>/dev/null || true
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        alive=
        for p in $all; do kill -0 "$p" 2>/dev/null && alive="$alive $p"; done
        [ -z "$alive" ] && return 0
        sleep 0.2
    done
    kill -KILL $alive 2>/dev/null || true
}

case "${1:-} ${2:-}" in
    "start pyftpd") start_pyftpd ftp "$3" "$4" ;;
    "start pyftpd-explicit") start_pyftpd ftps "$3" "$4" "${5:-}" ;;
    "start pyftpd-implicit") start_pyftpd implicit "$3" "$4" "${5:-}" ;;
    "start vsftpd") start_vsftpd plain "$3" "$4" ;;
    "start vsftpd-explicit") start_vsftpd explicit "$3" "$4" "${5:-}" ;;
    "start vsftpd-implicit") start_vsftpd implicit "$3" "$4" "${5:-}" ;;
    "start vsftpd-nochroot") start_vsftpd nochroot "$3" "$4" ;;
    "start sftp") start_sftp password "$3" "$4" "${5:-}" ;;
    "start sftp-pam") start_sftp pam "$3" "$4" "${5:-}" ;;
    "start sftp-keyboard") start_sftp keyboard "$3" "$4" "${5:-}" ;;
    stop\ *) stop_tree "$2" ;;
    *) echo "usage: $0 start KIND ROOT PORT [IDENTITY] | stop PID" >&2; exit 2 ;;
esac
