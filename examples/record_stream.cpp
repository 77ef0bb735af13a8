// Messages back to back over a socket.  One process sends a mix of records on
// a record-marked stream (xdrrec_create), one message a record, each preceded
// by a tag word that says its type, since no type identity travels on the
// wire.  The other process reads the tag, decodes the message with its type's
// pointer filter onto the default heap, prints it and frees it.  The program
// exits 0 when every message arrived in order and encodes to the same bytes
// as the one that was sent.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <parcel/records.h>

namespace {

// The program's own tags: one per type it sends, and one for the end.
enum : u_int { TAG_END = 0, TAG_DRV = 1, TAG_VUSER = 2, TAG_STATUS = 3, TAG_STRING = 4 };

// A message to send: its tag, its type's pointer filter (xdr_p_<type>) and
// the address of a pointer to the record, which is what that filter takes.
struct message {
    u_int tag;
    int (*filter)(XDR *, void *);
    void *recordp;
};

// xdrrec moves its buffer through these; the socket is the far end.
int write_all(void *fd, void *data, int size)
{
    for (int done = 0; done < size;) {
        const ssize_t n = write(*static_cast<int *>(fd), static_cast<char *>(data) + done, size - done);
        if (n <= 0)
            return -1;
        done += static_cast<int>(n);
    }
    return size;
}

int read_some(void *fd, void *data, int size)
{
    const ssize_t n = read(*static_cast<int *>(fd), data, size);
    return n > 0 ? static_cast<int>(n) : -1; // the end of the stream too
}

// Each message is one record: the tag, then the message; the end is a record
// of its own.  xdrrec_endofrecord(..., TRUE) sends the record at once.
bool send_all(int fd, const std::vector<message> &messages)
{
    XDR out;
    xdrrec_create(&out, 0, 0, &fd, read_some, write_all);
    out.x_op = XDR_ENCODE;
    bool ok = true;
    for (const message &m : messages) {
        u_int tag = m.tag;
        ok = ok && xdr_u_int(&out, &tag) && m.filter(&out, m.recordp) && xdrrec_endofrecord(&out, TRUE);
    }
    u_int end = TAG_END;
    ok = ok && xdr_u_int(&out, &end) && xdrrec_endofrecord(&out, TRUE);
    xdr_destroy(&out);
    return ok;
}

void describe(const cu_drv_msg_t &m)
{
    std::printf("driver message: real_value %g, text \"%s\", long_value %d, hyper_value %llu\n",
                m.get_real_value(), m.get_text(), m.get_long_value(),
                static_cast<unsigned long long>(m.get_hyper_value()));
}

void describe(const cu_vuser_msg_t &m)
{
    std::printf("virtual-user message: text_1 \"%s\", int_value %d, text_2 %s\n", m.get_text_1(),
                m.get_int_value(), m.has_text_2() ? "present" : "absent");
}

void describe(const cu_vuser_status_data_union_t &m)
{
    if (m.discriminant == 3)
        std::printf("status: ended, int_value_1 %d\n", m.end_arm->get_int_value_1());
    else
        std::printf("status: discriminant %d\n", m.discriminant);
}

void describe(const cu_string_msg_t &m)
{
    std::printf("string message: %zu bytes of text\n", std::strlen(m.get_text()));
}

// A record's bytes, from the type's buffer encoder.
template <class T>
std::vector<unsigned char> encoded(const T *record, int32_t (*encode)(const T *, void *, uint32_t))
{
    std::vector<unsigned char> bytes(64 * 1024);
    const int32_t n = encode(record, bytes.data(), static_cast<uint32_t>(bytes.size()));
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

// Decodes one T from the stream into a new record on the default heap,
// prints it, and tells whether it encodes as `sent` (a T *const *) does.
template <class T>
bool receive_as(XDR *in, int (*filter)(XDR *, void *), int32_t (*encode)(const T *, void *, uint32_t),
                void (*free_record)(T **), const void *sent)
{
    T *record; // the filter stores the new record here
    if (!filter(in, &record))
        return false; // nothing to free: a failed decode gives everything back
    describe(*record);
    const bool same = encoded(record, encode) == encoded(*static_cast<T *const *>(sent), encode);
    free_record(&record);
    return same;
}

// Receives up to the end: true when the messages arrived in the order sent,
// each with its bytes.
bool receive_all(int fd, const std::vector<message> &sent)
{
    XDR in;
    xdrrec_create(&in, 0, 0, &fd, read_some, write_all);
    in.x_op = XDR_DECODE;
    bool ok = true;
    size_t count = 0;
    for (;;) {
        // xdrrec_skiprecord goes to the start of the next record, past
        // whatever of the last one was not read.
        u_int tag;
        if (!xdrrec_skiprecord(&in) || !xdr_u_int(&in, &tag)) {
            ok = false; // the stream ended before the end tag
            break;
        }
        if (tag == TAG_END)
            break;
        if (count == sent.size() || sent[count].tag != tag) {
            ok = false;
            break;
        }
        const void *recordp = sent[count++].recordp;
        switch (tag) {
        case TAG_DRV:
            ok = receive_as(&in, xdr_p_cu_drv_msg_t, xdr_encode_cu_drv_msg_t, xdr_free_p_cu_drv_msg_t, recordp);
            break;
        case TAG_VUSER:
            ok = receive_as(&in, xdr_p_cu_vuser_msg_t, xdr_encode_cu_vuser_msg_t, xdr_free_p_cu_vuser_msg_t,
                            recordp);
            break;
        case TAG_STATUS:
            ok = receive_as(&in, xdr_p_cu_vuser_status_data_union_t, xdr_encode_cu_vuser_status_data_union_t,
                            xdr_free_p_cu_vuser_status_data_union_t, recordp);
            break;
        case TAG_STRING:
            ok = receive_as(&in, xdr_p_cu_string_msg_t, xdr_encode_cu_string_msg_t, xdr_free_p_cu_string_msg_t,
                            recordp);
            break;
        default:
            ok = false; // a tag this program does not know
        }
        if (!ok)
            break;
    }
    xdr_destroy(&in);
    std::printf("received %zu of %zu messages%s\n", count, sent.size(), ok ? ", all as sent" : ": FAILED");
    return ok && count == sent.size();
}

} // namespace

int main()
{
    // The messages, made before the fork so that the receiver knows what was
    // sent.  Records on the stack own nothing: their strings stay ours.
    cu_drv_msg_t drv(nullptr, 0);
    drv.set_real_value(0.5);
    drv.set_text("driver ready");
    drv.set_long_value(-1);
    drv.set_hyper_value(1);

    cu_vuser_msg_t vuser(nullptr, 0);
    vuser.set_text_1("script started");
    vuser.set_int_value(42); // the other seven fields stay absent

    cu_vuser_end_data_t end_data(nullptr, 0);
    end_data.set_int_value_1(7);
    cu_vuser_status_data_union_t ended(nullptr, 0);
    ended.discriminant = 3; // end_arm
    ended.end_arm = &end_data;
    cu_vuser_status_data_union_t no_arm(nullptr, 0); // discriminant -1

    // Larger than the stream's buffer (4000 bytes by default), so it goes
    // out in several fragments of one record.
    const std::string text(10000, 'x');
    cu_string_msg_t log(nullptr, 0);
    log.set_text(text.c_str());

    cu_drv_msg_t *drvp = &drv;
    cu_vuser_msg_t *vuserp = &vuser;
    cu_vuser_status_data_union_t *endedp = &ended, *no_armp = &no_arm;
    cu_string_msg_t *logp = &log;
    const std::vector<message> messages = {
        {TAG_DRV, xdr_p_cu_drv_msg_t, &drvp},
        {TAG_VUSER, xdr_p_cu_vuser_msg_t, &vuserp},
        {TAG_STATUS, xdr_p_cu_vuser_status_data_union_t, &endedp},
        {TAG_STRING, xdr_p_cu_string_msg_t, &logp},
        {TAG_STATUS, xdr_p_cu_vuser_status_data_union_t, &no_armp},
    };

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        std::perror("socketpair");
        return 1;
    }
    const pid_t sender = fork();
    if (sender < 0) {
        std::perror("fork");
        return 1;
    }
    if (sender == 0) {
        close(fds[1]);
        const bool sent = send_all(fds[0], messages);
        close(fds[0]);
        _exit(sent ? 0 : 1);
    }
    close(fds[0]);
    const bool received = receive_all(fds[1], messages);
    close(fds[1]);
    int status = 0;
    waitpid(sender, &status, 0);
    const bool sent = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!sent)
        std::fprintf(stderr, "the sender failed\n");
    return received && sent ? 0 : 1;
}
