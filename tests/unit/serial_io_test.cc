// The serial callbacks against socketpairs and ptys standing in for the port.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/log.h"
#include "serial/serial.h"

static int net_releases;

// The programs define this; here it only records that it was called.
void close_and_free_net(struct ev_loop *loop, NetConn *conn)
{
    (void)loop;
    if (conn == NULL)
        return;
    net_releases++;
    conn->serial->conn = NULL;
}

namespace {

struct SerialFixture : testing::Test {
    struct ev_loop *loop = nullptr;
    SerialPort *port = nullptr;
    int peer = -1;
    NetConn conn;
    OwnedWatcher conn_read, conn_write;
    char dir[64];
    char gate_log[128];

    void SetUp() override
    {
        loop = ev_loop_new(EVFLAG_AUTO);
        snprintf(dir, sizeof dir, "/tmp/fwserial.XXXXXX");
        ASSERT_NE(mkdtemp(dir), nullptr);
        char script[128];
        snprintf(script, sizeof script, "%s/linegate.sh", dir);
        snprintf(gate_log, sizeof gate_log, "%s/log", dir);
        FILE *f = fopen(script, "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "#!/bin/sh\necho \"$1\" >> %s\n", gate_log);
        fclose(f);
        chmod(script, 0700);
        char path[4096];
        snprintf(path, sizeof path, "%s:%s", dir, getenv("PATH") ? getenv("PATH") : "/bin");
        setenv("PATH", path, 1);
        linegate_init();
        memset(&conn, 0, sizeof conn);
        memset(&conn_read, 0, sizeof conn_read);
        memset(&conn_write, 0, sizeof conn_write);
        conn.read_watcher = &conn_read;
        conn.write_watcher = &conn_write;
        conn_read.owner = conn_write.owner = &conn;
    }

    void TearDown() override
    {
        if (port != nullptr) {
            ev_io_stop(loop, &port->read_watcher->io);
            ev_io_stop(loop, &port->write_watcher->io);
            close(port->fd);
            free_serial(port);
        }
        ev_io_stop(loop, &conn_read.io);
        ev_io_stop(loop, &conn_write.io);
        if (peer >= 0)
            close(peer);
        ev_loop_destroy(loop);
        char cmd[160];
        snprintf(cmd, sizeof cmd, "rm -rf %s", dir);
        ASSERT_EQ(system(cmd), 0);
    }

    // The port on one end of a socketpair; the test holds the other end.
    void socket_port(int sndbuf)
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        if (sndbuf > 0) {
            setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
            setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &sndbuf, sizeof sndbuf);
        }
        fcntl(sv[0], F_SETFL, O_NONBLOCK);
        port = new_serial(sv[0]);
        peer = sv[1];
        attach();
    }

    void attach()
    {
        conn.serial = port;
        port->conn = &conn;
        ev_io_init(&conn_read.io, [](struct ev_loop *, ev_io *, int) {}, peer, EV_READ);
        ev_io_init(&conn_write.io, [](struct ev_loop *, ev_io *, int) {}, peer, EV_WRITE);
    }

    int gate_count(const char *word)
    {
        FILE *f = fopen(gate_log, "r");
        if (f == NULL)
            return 0;
        char line[32];
        int n = 0;
        while (fgets(line, sizeof line, f) != NULL)
            n += strncmp(line, word, strlen(word)) == 0;
        fclose(f);
        return n;
    }
};

TEST_F(SerialFixture, ChunkWrittenInPartsRunsOutOnceAtTheEnd)
{
    socket_port(4096);
    static char chunk[200000];
    for (size_t i = 0; i < sizeof chunk; i++)
        chunk[i] = static_cast<char>(i * 7);
    bconcat(port->txbuf, chunk, sizeof chunk);
    ev_io_start(loop, &port->write_watcher->io);

    static char got[sizeof chunk];
    size_t have = 0;
    int partial = 0;
    while (ev_is_active(&port->write_watcher->io)) {
        serial_send_cb(loop, &port->write_watcher->io, EV_WRITE);
        if (!bufempty(port->txbuf)) {
            partial++;
            EXPECT_EQ(gate_count("out"), 0);
            EXPECT_FALSE(ev_is_active(&conn_read.io));
        }
        ssize_t n;
        while (have < sizeof got && (n = recv(peer, got + have, sizeof got - have, MSG_DONTWAIT)) > 0)
            have += n;
        ASSERT_LT(partial, 100000);
    }
    while (have < sizeof got) {
        ssize_t n = recv(peer, got + have, sizeof got - have, 0);
        ASSERT_GT(n, 0);
        have += n;
    }
    EXPECT_GE(partial, 2);
    EXPECT_EQ(memcmp(got, chunk, sizeof chunk), 0);
    EXPECT_EQ(gate_count("out"), 1);
    EXPECT_TRUE(bufempty(port->txbuf));
    EXPECT_TRUE(ev_is_active(&conn_read.io)) << "socket read resumes after the chunk";
}

TEST_F(SerialFixture, EmptyTxbufStopsTheWriteWatcher)
{
    socket_port(0);
    ev_io_start(loop, &port->write_watcher->io);
    serial_send_cb(loop, &port->write_watcher->io, EV_WRITE);
    EXPECT_FALSE(ev_is_active(&port->write_watcher->io));
    EXPECT_EQ(gate_count("out"), 0);
}

TEST_F(SerialFixture, ReadHandsOverToTheConnection)
{
    socket_port(0);
    ev_io_start(loop, &port->read_watcher->io);
    ASSERT_EQ(write(peer, "0123456789", 10), 10);
    serial_recv_cb(loop, &port->read_watcher->io, EV_READ);
    EXPECT_EQ(port->rxbuf->len, 10);
    EXPECT_EQ(memcmp(port->rxbuf->data, "0123456789", 10), 0);
    EXPECT_FALSE(ev_is_active(&port->read_watcher->io));
    EXPECT_TRUE(ev_is_active(&conn_write.io));
}

// A stream bridge takes what waits on the line in one read, one frame per
// read size; bytes joining a queue left by a dropped connection are read
// one size at a time and join its last frame.
TEST_F(SerialFixture, BatchedReadIsSplitIntoFramesOfTheReadSize)
{
    socket_port(0);
    port->conn = NULL;
    port->batch = kSerialBatch;
    static char data[3500];
    for (size_t i = 0; i < sizeof data; i++)
        data[i] = static_cast<char>('0' + i % 10);
    ASSERT_EQ(write(peer, data, sizeof data), static_cast<ssize_t>(sizeof data));
    serial_recv_cb(loop, &port->read_watcher->io, EV_READ);
    ASSERT_EQ(port->rxbuf->len, 3500);
    EXPECT_EQ(memcmp(port->rxbuf->data, data, sizeof data), 0);
    ASSERT_EQ(port->rx_nsplit, 2);
    EXPECT_EQ(port->rx_split[0], kSerialReadSize);
    EXPECT_EQ(port->rx_split[1], kSerialReadSize);

    ASSERT_EQ(write(peer, data, sizeof data), static_cast<ssize_t>(sizeof data));
    serial_recv_cb(loop, &port->read_watcher->io, EV_READ);
    EXPECT_EQ(port->rxbuf->len, 3500 + kSerialReadSize);
    EXPECT_EQ(port->rx_nsplit, 2);
}

// The connection's send callback for the tests below: sends what the
// kernel takes of rxbuf, as the programs' callbacks do.
static int sends;
static void send_some(struct ev_loop *loop, ev_io *w, int)
{
    NetConn *c = static_cast<NetConn *>(reinterpret_cast<OwnedWatcher *>(w)->owner);
    ByteBuffer *rx = c->serial->rxbuf;
    sends++;
    ssize_t n = send(c->fd, rx->data + rx->idx, rx->len, MSG_DONTWAIT);
    if (n < 0)
        return;
    if (n < rx->len) {
        bshrink(rx, static_cast<int>(n));
        return;
    }
    breset(rx);
    ev_io_stop(loop, w);
    ev_io_start(loop, &c->serial->read_watcher->io);
}

// Each serial read used to stop the port's watcher and start the
// connection's (three epoll changes per chunk); now the send is tried at
// once and the watchers stay as they are when it all went out.
TEST_F(SerialFixture, ReadIsSentAtOnceWithoutWatcherChanges)
{
    socket_port(0);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    conn.fd = sv[0];
    conn.head_out = 1;
    ev_io_init(&conn_write.io, send_some, sv[0], EV_WRITE);
    ev_io_start(loop, &port->read_watcher->io);
    sends = 0;
    ASSERT_EQ(write(peer, "0123456789", 10), 10);
    serial_recv_cb(loop, &port->read_watcher->io, EV_READ);
    EXPECT_EQ(sends, 1);
    EXPECT_TRUE(bufempty(port->rxbuf));
    EXPECT_TRUE(ev_is_active(&port->read_watcher->io));
    EXPECT_FALSE(ev_is_active(&conn_write.io));
    char buf[16];
    EXPECT_EQ(read(sv[1], buf, sizeof buf), 10);

    // Before the connection's first header nothing is sent at once.
    conn.head_out = 0;
    ASSERT_EQ(write(peer, "ab", 2), 2);
    serial_recv_cb(loop, &port->read_watcher->io, EV_READ);
    EXPECT_EQ(sends, 1);
    EXPECT_FALSE(ev_is_active(&port->read_watcher->io));
    EXPECT_TRUE(ev_is_active(&conn_write.io));
    ev_io_stop(loop, &conn_write.io);
    close(sv[0]);
    close(sv[1]);
}

// A send the kernel does not take whole: the port is not read until the
// rest went out, and the connection's watcher takes over.
TEST_F(SerialFixture, ReadTheKernelCannotTakeWaitsForTheWatcher)
{
    socket_port(0);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    static char fill[1 << 20];
    while (send(sv[0], fill, sizeof fill, MSG_DONTWAIT) > 0) {
    }
    conn.fd = sv[0];
    conn.head_out = 1;
    ev_io_init(&conn_write.io, send_some, sv[0], EV_WRITE);
    ev_io_start(loop, &port->read_watcher->io);
    sends = 0;
    ASSERT_EQ(write(peer, "0123456789", 10), 10);
    serial_recv_cb(loop, &port->read_watcher->io, EV_READ);
    EXPECT_EQ(sends, 1);
    EXPECT_EQ(port->rxbuf->len, 10);
    EXPECT_FALSE(ev_is_active(&port->read_watcher->io));
    EXPECT_TRUE(ev_is_active(&conn_write.io));
    ev_io_stop(loop, &conn_write.io);
    close(sv[0]);
    close(sv[1]);
}

// A server chunk used to stop the socket's watcher and start the port's
// before any byte was written; now it is written at once, between "in" and
// "out", when the port takes bytes.
TEST_F(SerialFixture, ServerChunkIsWrittenAtOnceBetweenInAndOut)
{
    socket_port(0);
    ev_io_start(loop, &conn_read.io);
    bconcat(port->txbuf, "chunk", 5);
    serial_deliver(loop, port, &conn_read.io);
    char buf[8];
    EXPECT_EQ(read(peer, buf, sizeof buf), 5);
    EXPECT_EQ(gate_count("in"), 1);
    EXPECT_EQ(gate_count("out"), 1);
    EXPECT_TRUE(bufempty(port->txbuf));
    EXPECT_TRUE(ev_is_active(&conn_read.io));
    EXPECT_FALSE(ev_is_active(&port->write_watcher->io));
}

// A port that cannot take bytes now: the write watcher waits for it and the
// socket is not read meanwhile; "out" comes after the last byte.
TEST_F(SerialFixture, ServerChunkWaitsForAPortThatIsFull)
{
    socket_port(4096);
    static char fill[1 << 20];
    while (send(port->fd, fill, sizeof fill, MSG_DONTWAIT) > 0) {
    }
    ev_io_start(loop, &conn_read.io);
    bconcat(port->txbuf, "chunk", 5);
    serial_deliver(loop, port, &conn_read.io);
    EXPECT_EQ(gate_count("in"), 1);
    EXPECT_EQ(gate_count("out"), 0);
    EXPECT_EQ(port->txbuf->len, 5);
    EXPECT_FALSE(ev_is_active(&conn_read.io));
    EXPECT_TRUE(ev_is_active(&port->write_watcher->io));
}

TEST_F(SerialFixture, WithoutConnectionBytesStayQueued)
{
    socket_port(0);
    port->conn = NULL;  // released earlier in the same loop pass
    bconcat(port->rxbuf, "old", 3);
    ev_io_start(loop, &port->read_watcher->io);
    ASSERT_EQ(write(peer, "new", 3), 3);
    serial_recv_cb(loop, &port->read_watcher->io, EV_READ);
    EXPECT_EQ(port->rxbuf->len, 6);
    EXPECT_EQ(memcmp(port->rxbuf->data, "oldnew", 6), 0);
    EXPECT_FALSE(ev_is_active(&port->read_watcher->io));
    EXPECT_FALSE(ev_is_active(&conn_write.io));

    // A chunk finished without a connection: "out" runs, nothing else.
    bconcat(port->txbuf, "abc", 3);
    ev_io_start(loop, &port->write_watcher->io);
    serial_send_cb(loop, &port->write_watcher->io, EV_WRITE);
    char buf[8];
    EXPECT_EQ(read(peer, buf, sizeof buf), 3);
    EXPECT_EQ(gate_count("out"), 1);
    EXPECT_FALSE(ev_is_active(&port->write_watcher->io));
    EXPECT_FALSE(ev_is_active(&conn_read.io));
}

static int open_pty(int *slave)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    *slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    return *slave >= 0 ? master : -1;
}

TEST_F(SerialFixture, ZeroReadWithoutHangupIsIgnored)
{
    int slave = -1;
    int master = open_pty(&slave);
    ASSERT_GE(master, 0);
    ASSERT_EQ(set_opt(slave, 9600, 8, 'N', 1, 0, 0), 0);
    port = new_serial(slave);
    peer = master;
    attach();
    ev_io_start(loop, &port->read_watcher->io);
    serial_recv_cb(loop, &port->read_watcher->io, EV_READ);  // VMIN 0: returns 0 at once
    EXPECT_TRUE(ev_is_active(&port->read_watcher->io));
    EXPECT_TRUE(bufempty(port->rxbuf));
    EXPECT_EQ(net_releases, 0);
}

TEST_F(SerialFixture, SettingsRefuseUnknownParityAndSpeed)
{
    debug = 4;
    int slave = -1;
    int master = open_pty(&slave);
    ASSERT_GE(master, 0);
    EXPECT_EXIT(set_opt(slave, 9600, 8, 'n', 1, 1, 1), testing::ExitedWithCode(255), "ERR: error parity");
    EXPECT_EXIT(set_opt(slave, 921600, 8, 'X', 1, 1, 1), testing::ExitedWithCode(255), "ERR: error parity");
    EXPECT_EXIT(set_opt(slave, 1200, 8, 'N', 1, 1, 1), testing::ExitedWithCode(255), "ERR: error bps");
    ASSERT_EQ(set_opt(slave, 19200, 7, 'E', 2, 0, 10), 0);
    struct termios tio;
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    // A pty keeps 8 bits without parity whatever is asked; the rest sticks.
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_iflag & ISTRIP);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 10);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
    close(slave);
    close(master);
}

TEST_F(SerialFixture, HungUpTtyEndsTheProcess)
{
    debug = 4;
    int slave = -1;
    int master = open_pty(&slave);
    ASSERT_GE(master, 0);
    ASSERT_EQ(set_opt(slave, 9600, 8, 'N', 1, 1, 0), 0);
    port = new_serial(slave);
    port->dev = "/dev/ttyFWgone";
    peer = -1;
    attach();
    close(master);  // the adapter disappears
    ev_io_start(loop, &port->read_watcher->io);
    // The C library's own text for EIO (glibc and musl word it differently).
    char expected[200];
    snprintf(expected, sizeof expected, "recv failed: %s\\(%d\\)(.|\n)*ttl: /dev/ttyFWgone error, exit",
             strerror(EIO), EIO);
    EXPECT_EXIT(serial_recv_cb(loop, &port->read_watcher->io, EV_READ), testing::ExitedWithCode(255),
                expected);
}

}  // namespace

namespace {

struct GateFixture : SerialFixture {
    void script(const char *text)
    {
        char path[128];
        snprintf(path, sizeof path, "%s/linegate.sh", dir);
        FILE *f = fopen(path, "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "%s", text);
        fclose(f);
        chmod(path, 0700);
        linegate_init();
    }
};

// A script without a "#!" line ran through the shell before; it still does.
TEST_F(GateFixture, ScriptWithoutInterpreterLineRuns)
{
    char text[256];
    snprintf(text, sizeof text, "echo \"$1\" >> %s\n", gate_log);
    script(text);
    linegate("in");
    linegate("out");
    EXPECT_EQ(gate_count("in"), 1);
    EXPECT_EQ(gate_count("out"), 1);
}

// Without a script a turnaround runs nothing (it used to start a shell that
// said "not found" on every chunk).
TEST_F(GateFixture, NoScriptNoSpawn)
{
    char path[128];
    snprintf(path, sizeof path, "%s/linegate.sh", dir);
    ASSERT_EQ(unlink(path), 0);
    std::string saved = getenv("PATH");
    setenv("PATH", dir, 1);
    linegate_init();
    setenv("PATH", saved.c_str(), 1);
    linegate("in");
    linegate("out");
    EXPECT_EQ(gate_count("in") + gate_count("out"), 0);
    int status;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a child was started";
}

}  // namespace
