// TLS over OpenSSL 3: the server's context, read from the -T file, and one
// non-blocking session per accepted socket.  The handshake and every record
// are steps of the one loop: a call that cannot go on now says what the
// socket must be watched for, and the endpoint tries again at its next step.
#include "tls.h"

#include "io/kva.h"
#include "io/kva_assert.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <errno.h>
#include <new>
#include <stdio.h>
#include <string.h>

namespace {

// The context new connections get; each session holds a reference to its
// own, so a reload never pulls one from under a connected client.
SSL_CTX *current = nullptr;
const char *pemFile = nullptr;

// The reason of the first error OpenSSL queued; the queue is emptied.
void takeError(char *out, size_t size)
{
    unsigned long e = ERR_get_error();
    const char *reason = e ? ERR_reason_error_string(e) : nullptr;
    if (reason) snprintf(out, size, "%s", reason);
    else if (e) ERR_error_string_n(e, out, size);
    else snprintf(out, size, "no reason given");
    ERR_clear_error();
}

// A key under a passphrase is refused rather than asked for on a terminal
// that a service does not have.
int noPassphrase(char *, int, int, void *) { return -1; }

EVP_PKEY *readKey(const char *path)
{
    BIO *b = BIO_new_file(path, "r");
    if (!b) return nullptr;
    EVP_PKEY *key = PEM_read_bio_PrivateKey(b, nullptr, noPassphrase, nullptr);
    BIO_free(b);
    return key;
}

SSL_CTX *makeContext(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "-T%s: cannot read it: %s\n", path, strerror(errno));
        return nullptr;
    }
    fclose(f);
    char why[256];
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        takeError(why, sizeof why);
        fprintf(stderr, "-T%s: TLS cannot be set up: %s\n", path, why);
        return nullptr;
    }
    // TLS 1.2 and 1.3 with the library's own cipher choices; no
    // compression (it leaks what it compresses) and no renegotiation (a
    // handshake mid-session that a client could repeat at will).
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    // A write may end after any whole record, and the rest of a record
    // begun is sent from the same bytes offered again at another address
    // (the endpoint's queue gathers them anew); idle sessions give their
    // record buffers back.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_default_passwd_cb(ctx, noPassphrase);
    if (SSL_CTX_use_certificate_chain_file(ctx, path) != 1) {
        takeError(why, sizeof why);
        fprintf(stderr, "-T%s: no certificate in it (%s)\n", path, why);
        SSL_CTX_free(ctx);
        return nullptr;
    }
    EVP_PKEY *key = readKey(path);
    if (!key) {
        // The decoders' reason names the last format tried, not the file.
        ERR_clear_error();
        fprintf(stderr, "-T%s: no private key in it (or one under a passphrase)\n", path);
        SSL_CTX_free(ctx);
        return nullptr;
    }
    int used = SSL_CTX_use_PrivateKey(ctx, key);
    EVP_PKEY_free(key);
    if (used != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        fprintf(stderr, "-T%s: the private key does not match the certificate\n", path);
        SSL_CTX_free(ctx);
        return nullptr;
    }
    // Not refused: the file may be replaced with a new one and reloaded.
    X509 *cert = SSL_CTX_get0_certificate(ctx);
    if (cert && X509_cmp_current_time(X509_get0_notAfter(cert)) < 0)
        fprintf(stderr, "-T%s: the certificate has expired: clients will refuse it\n", path);
    return ctx;
}

struct TlsConn {
    Transport base;  // first: the endpoint holds a Transport *
    SSL *ssl;
    bool established;
    bool failed;         // logged once; every later call fails at once
    long long deadline;  // kvp_now_ms() by which the handshake must be done
    int handshakeWants;  // KVP_IN or KVP_OUT: what the handshake waits for
    bool readWantsOut;   // a read could not go on until the socket takes output
    bool sendWantsIn;    // a send could not go on until input arrives
    bool peerGone;       // a send found the peer gone: the next read ends it
    bool sendSawEnd;     // a send has let one step pass over a session that is over
    char peer[KVA_PEER_TEXT_SIZE];
};

TlsConn *conn(Transport *t) { return reinterpret_cast<TlsConn *>(t); }
const TlsConn *conn(const Transport *t) { return reinterpret_cast<const TlsConn *>(t); }

// A call that failed: SSL_ERROR_SYSCALL with nothing queued is the socket's
// own failure or a peer that went without a word.
void logFailure(TlsConn *c, const char *what, int err)
{
    char why[256];
    if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
        snprintf(why, sizeof why, "%s", errno ? strerror(errno) : "the peer closed the connection");
    else
        takeError(why, sizeof why);
    ERR_clear_error();
    printf("TLS %s with %s failed: %s\n", what, c->peer, why);
    c->failed = true;
}

// 1: the handshake is done; 0: it goes on; -2: it failed or took too long
// (logged).
int handshake(TlsConn *c)
{
    if (c->failed) return -2;
    if (c->established) return 1;
    if (kvp_now_ms() >= c->deadline) {
        printf("TLS handshake with %s not done within %d s: given up\n", c->peer,
               tlsHandshakeTimeoutMs / 1000);
        c->failed = true;
        return -2;
    }
    ERR_clear_error();
    errno = 0;
    int r = SSL_do_handshake(c->ssl);
    if (r == 1) {
        c->established = true;
        return 1;
    }
    int err = SSL_get_error(c->ssl, r);
    if (err == SSL_ERROR_WANT_READ) c->handshakeWants = KVP_IN;
    else if (err == SSL_ERROR_WANT_WRITE) c->handshakeWants = KVP_OUT;
    else {
        logFailure(c, "handshake", err);
        return -2;
    }
    return 0;
}

// Fills as much of p as the records received so far give: one call per
// step moves as much as a plain socket's receive would.
int tlsRead(Transport *t, int, char *p, int n)
{
    TlsConn *c = conn(t);
    int h = handshake(c);
    if (h <= 0) return h;
    if (c->peerGone) return -1;
    c->readWantsOut = false;
    int got = 0;
    while (got < n) {
        ERR_clear_error();
        errno = 0;
        int r = SSL_read(c->ssl, p + got, n - got);
        if (r > 0) {
            got += r;
            continue;
        }
        int err = SSL_get_error(c->ssl, r);
        if (err == SSL_ERROR_WANT_READ) break;
        if (err == SSL_ERROR_WANT_WRITE) {
            c->readWantsOut = true;
            break;
        }
        // The bytes before an end are handed out first; the end is met
        // again by the next read.
        if (got > 0) break;
        if (err == SSL_ERROR_ZERO_RETURN) return -1;
        // A peer that closed its socket without TLS's own close: a console
        // stream has no length a cut could shorten unseen.
        if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return -1;
        if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            ERR_clear_error();
            return -1;
        }
        logFailure(c, "connection", err);
        return -2;
    }
    return got;
}

// A session that is over (failed, or its peer gone) ends at the read of the
// same step, which says why (a client that disconnected, or the failure
// logged already), rather than at the send, which would log a failed write
// too; a send that comes again, with no read between, ends it.
int sendOnEnded(TlsConn *c)
{
    if (c->sendSawEnd) return -1;
    c->sendSawEnd = true;
    return 0;
}

int tlsSend(Transport *t, int, const char *p, int n)
{
    TlsConn *c = conn(t);
    int h = handshake(c);
    if (h < 0) return sendOnEnded(c);
    if (h == 0) return 0;
    ERR_clear_error();
    errno = 0;
    int r = SSL_write(c->ssl, p, n);
    c->sendWantsIn = false;
    if (r > 0) return r;
    int err = SSL_get_error(c->ssl, r);
    if (err == SSL_ERROR_WANT_WRITE) return 0;
    if (err == SSL_ERROR_WANT_READ) {
        c->sendWantsIn = true;
        return 0;
    }
    // A peer that went away (a closed tab) is reported by the read that
    // follows, as a client that disconnected.
    if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)) {
        ERR_clear_error();
        c->peerGone = true;
    } else {
        logFailure(c, "connection", err);
    }
    return sendOnEnded(c);
}

// During the handshake the socket is watched for what the handshake needs
// and nothing else: output queued for the client (its greeting) must not
// wake the wait while the handshake waits for input.
int tlsEvents(Transport *t, int events)
{
    TlsConn *c = conn(t);
    // The read that ends it comes at the next step, whatever the socket shows.
    if (c->failed || c->peerGone) {
        kva_work_pending();
        return events;
    }
    if (!c->established) {
        long long left = c->deadline - kvp_now_ms();
        kva_wake_within(left > 0 ? (int)left : 0);
        return c->handshakeWants;
    }
    if (c->sendWantsIn) events = (events & ~KVP_OUT) | KVP_IN;
    if (c->readWantsOut) events |= KVP_OUT;
    return events;
}

bool tlsHoldsInput(const Transport *t)
{
    const TlsConn *c = conn(t);
    return c->established && !c->failed && SSL_pending(c->ssl) > 0;
}

void tlsEnd(Transport *t, int)
{
    TlsConn *c = conn(t);
    // TLS's own close, once, never waited for: a client can tell an end
    // from a cut connection.
    if (c->established && !c->failed && !c->peerGone) SSL_shutdown(c->ssl);
    ERR_clear_error();
    SSL_free(c->ssl);
    delete c;
}

const TransportOps tlsOps = {tlsRead, tlsSend, tlsEvents, tlsHoldsInput, tlsEnd};

}  // namespace

int tlsServerStart(const char *pemPath)
{
    SSL_CTX *ctx = makeContext(pemPath);
    if (!ctx) return -1;
    SSL_CTX_free(current);
    current = ctx;
    pemFile = pemPath;
    return 0;
}

int tlsServerReload()
{
    if (!current) return 0;
    SSL_CTX *fresh = makeContext(pemFile);
    if (!fresh) {
        fprintf(stderr, "-T%s: not reloaded: new connections keep the certificate in use\n",
                pemFile);
        return -1;
    }
    SSL_CTX_free(current);
    current = fresh;
    printf("-T%s: reloaded for new connections\n", pemFile);
    return 0;
}

bool tlsServerActive() { return current != nullptr; }

Transport *tlsServerWrap(int fd)
{
    char why[256];
    SSL *ssl = SSL_new(current);
    if (!ssl || SSL_set_fd(ssl, fd) != 1) {
        takeError(why, sizeof why);
        printf("TLS session for socket %d not made: %s\n", fd, why);
        SSL_free(ssl);
        return nullptr;
    }
    SSL_set_accept_state(ssl);
    // OpenSSL's socket calls must never wait.
    kvp_set_nonblocking(fd);
    TlsConn *c = new (std::nothrow) TlsConn();
    if (!c) kva_out_of_memory("a TLS connection");
    c->base.ops = &tlsOps;
    c->ssl = ssl;
    c->deadline = kvp_now_ms() + tlsHandshakeTimeoutMs;
    c->handshakeWants = KVP_IN;
    kva_peer_text(fd, c->peer);
    return &c->base;
}

void tlsServerStop()
{
    SSL_CTX_free(current);
    current = nullptr;
}
