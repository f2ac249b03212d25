/* virtualcam: a PipeWire camera node for the tests (Video/Source, role Camera)
 * that sends known pixels, with faults on request; or, with --consume, a
 * second consumer of a camera that counts its frames. Usage: README.md here. */
#define _GNU_SOURCE
#include <sys/mman.h>

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/param/video/format-utils.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { PACKED, NV12, I420 };
static const struct fmt {
    const char* name;
    uint32_t id; /* 0: MJPG */
    unsigned bpp, planes;
} fmts[] = {
    {"BGR", SPA_VIDEO_FORMAT_BGR, 3, PACKED},
    {"RGB", SPA_VIDEO_FORMAT_RGB, 3, PACKED},
    {"YUY2", SPA_VIDEO_FORMAT_YUY2, 2, PACKED},
    {"UYVY", SPA_VIDEO_FORMAT_UYVY, 2, PACKED},
    {"BGRx", SPA_VIDEO_FORMAT_BGRx, 4, PACKED},
    {"RGBx", SPA_VIDEO_FORMAT_RGBx, 4, PACKED},
    {"xRGB", SPA_VIDEO_FORMAT_xRGB, 4, PACKED},
    {"xBGR", SPA_VIDEO_FORMAT_xBGR, 4, PACKED},
    {"GRAY8", SPA_VIDEO_FORMAT_GRAY8, 1, PACKED},
    {"NV12", SPA_VIDEO_FORMAT_NV12, 1, NV12},
    {"I420", SPA_VIDEO_FORMAT_I420, 1, I420},
    {"MJPG", 0, 2, PACKED}, /* buffers of w*h*2 bytes, as V4L2 gives */
};
#define N_FMTS (sizeof fmts / sizeof fmts[0])

struct blob {
    unsigned char* p;
    size_t n;
};
struct cam {
    struct pw_main_loop* loop;
    struct pw_stream* stream;
    struct spa_source* timer;
    const char *name, *target;
    const struct fmt* fmt;
    uint32_t w, h, w2, h2, fps, matrix, range, node_id;
    long stride; /* -1: packed; 0: packed, but the chunk says 0 */
    long stall_after, garbage_after, switch_after, exit_after;
    int flood, dmabuf, no_formats, switched, ready, paused, gst;
    int own; /* --own-buffers: 0 none, 1 memfd, 2 file */
    long truncate_after;
    uint64_t serial, frames;
    struct blob frame;
};

/* Planes of a w x h frame: bytes of a packed row, rows, the row stride in
 * the buffer (plane 0's; NV12's chroma plane the same, I420's half of it),
 * and padding bytes after the rows. */
struct plane {
    size_t row, rows, stride, gap;
};
static size_t up4(size_t n)
{
    return (n + 3) & ~(size_t)3;
}
static int layout(const struct cam* c, uint32_t w, uint32_t h, struct plane pl[3])
{
    size_t row = c->fmt->bpp == 2 ? (w + 1) / 2 * 4 : (size_t)w * c->fmt->bpp;
    size_t s = c->stride > 0 ? (size_t)c->stride : 0, cw = (w + 1) / 2, ch = (h + 1) / 2;
    int np = c->fmt->planes == PACKED ? 1 : c->fmt->planes == NV12 ? 2 : 3;
    pl[0] = (struct plane){row, h, s ? s : row, 0}; /* no stride given: every plane packed */
    pl[1] = (struct plane){2 * cw, ch, s ? s : 2 * cw, 0};
    if (c->fmt->planes == I420)
        pl[1] = pl[2] = (struct plane){cw, ch, s ? (s + 1) / 2 : cw, 0};
    /* GStreamer's (gst_video_info_set_format): each plane's rows rounded up to
     * 4 bytes, the chroma after an even number of luma rows */
    if (c->gst) {
        pl[0].stride = up4(row);
        pl[0].gap = np > 1 && h % 2 ? pl[0].stride : 0;
        pl[1].stride = pl[2].stride = np == 2 ? pl[0].stride : up4(cw);
    }
    return np;
}
static size_t frame_bytes(const struct cam* c, uint32_t w, uint32_t h, int packed)
{
    struct plane pl[3];
    size_t n = 0;
    for (int i = 0, np = layout(c, w, h, pl); i < np; i++)
        n += packed ? pl[i].row * pl[i].rows : pl[i].stride * pl[i].rows + pl[i].gap;
    return n;
}
static size_t buffer_size(const struct cam* c)
{
    size_t n = frame_bytes(c, c->w, c->h, 0);
    return c->fmt->id ? n : SPA_MAX(n, c->frame.n);
}

static const struct spa_pod* enum_format(const struct cam* c, struct spa_pod_builder* b)
{
    struct spa_pod_frame f;
    uint32_t sub = c->no_formats ? SPA_MEDIA_SUBTYPE_h264
                   : c->fmt->id  ? SPA_MEDIA_SUBTYPE_raw
                                 : SPA_MEDIA_SUBTYPE_mjpg;
    spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(sub), 0);
    if (sub == SPA_MEDIA_SUBTYPE_raw)
        spa_pod_builder_add(b, SPA_FORMAT_VIDEO_format, SPA_POD_Id(c->fmt->id), 0);
    spa_pod_builder_add(b, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&SPA_RECTANGLE(c->w, c->h)),
                        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&SPA_FRACTION(c->fps, 1)), 0);
    if (c->matrix)
        spa_pod_builder_add(b, SPA_FORMAT_VIDEO_colorMatrix, SPA_POD_Id(c->matrix), 0);
    if (c->range)
        spa_pod_builder_add(b, SPA_FORMAT_VIDEO_colorRange, SPA_POD_Id(c->range), 0);
    return spa_pod_builder_pop(b, &f);
}

/* The consumer takes every format this program sends, at any size and rate. */
static const struct spa_pod* any_format(struct spa_pod_builder* b, int mjpg)
{
    struct spa_pod_frame f;
    spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype,
                        SPA_POD_Id(mjpg ? SPA_MEDIA_SUBTYPE_mjpg : SPA_MEDIA_SUBTYPE_raw), 0);
    if (!mjpg) {
        struct spa_pod_frame cf;
        spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_format, 0);
        spa_pod_builder_push_choice(b, &cf, SPA_CHOICE_Enum, 0);
        for (size_t k = 0; k < N_FMTS; k++) /* the first is the default */
            spa_pod_builder_id(b, fmts[k ? k - 1 : 0].id);
        spa_pod_builder_pop(b, &cf);
    }
    spa_pod_builder_add(b, SPA_FORMAT_VIDEO_size,
                        SPA_POD_CHOICE_RANGE_Rectangle(&SPA_RECTANGLE(640, 480),
                                                       &SPA_RECTANGLE(1, 1),
                                                       &SPA_RECTANGLE(16384, 16384)),
                        SPA_FORMAT_VIDEO_framerate,
                        SPA_POD_CHOICE_RANGE_Fraction(&SPA_FRACTION(30, 1), &SPA_FRACTION(0, 1),
                                                      &SPA_FRACTION(1000, 1)),
                        0);
    return spa_pod_builder_pop(b, &f);
}

static void on_param_changed(void* data, uint32_t id, const struct spa_pod* param)
{
    struct cam* c = data;
    struct spa_video_info_raw raw = {0};
    struct spa_video_info_mjpg mjpg = {0};
    uint32_t type, sub;
    if (!param || id != SPA_PARAM_Format || spa_format_parse(param, &type, &sub) < 0)
        return;
    if (sub == SPA_MEDIA_SUBTYPE_raw)
        spa_format_video_raw_parse(param, &raw);
    else
        spa_format_video_mjpg_parse(param, &mjpg);
    struct spa_rectangle sz = sub == SPA_MEDIA_SUBTYPE_raw ? raw.size : mjpg.size;
    uint32_t types = 1u << SPA_DATA_MemPtr | 1u << SPA_DATA_MemFd | 1u << SPA_DATA_DmaBuf;
    size_t size = 0, stride = 0;
    if (c->target) {
        fprintf(stderr, "virtualcam: format %ux%u subtype %u format %u matrix %u range %u\n",
                sz.width, sz.height, sub, raw.format, raw.color_matrix, raw.color_range);
    } else {
        struct plane pl[3];
        if (c->switched && sz.width == c->w2 && sz.height == c->h2)
            c->switched = 2; /* the new size is in effect */
        c->w = sz.width, c->h = sz.height;
        layout(c, c->w, c->h, pl);
        stride = pl[0].stride;
        size = buffer_size(c);
        types = c->dmabuf ? 1u << SPA_DATA_DmaBuf
                : c->own  ? 1u << SPA_DATA_MemFd
                          : 1u << SPA_DATA_MemPtr | 1u << SPA_DATA_MemFd;
    }
    uint8_t buf[256];
    struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buf, sizeof buf);
    const struct spa_pod* p = spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_CHOICE_RANGE_Int((int)size, (int)size, INT32_MAX),
        SPA_PARAM_BUFFERS_stride, SPA_POD_CHOICE_RANGE_Int((int)stride, 0, INT32_MAX),
        SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((int)types));
    pw_stream_update_params(c->stream, &p, 1);
}

/* --dmabuf, --own-buffers: the buffers are ours, announced as DmaBuf or
 * MemFd: memfds, sealed unless --own-buffers says otherwise, or plain files. */
static void on_add_buffer(void* data, struct pw_buffer* pb)
{
    struct cam* c = data;
    struct spa_data* d = &pb->buffer->datas[0];
    char path[] = "/tmp/virtualcam.XXXXXX";
    if (!c->dmabuf && !c->own)
        return;
    d->maxsize = (uint32_t)buffer_size(data);
    d->type = c->dmabuf ? SPA_DATA_DmaBuf : SPA_DATA_MemFd;
    d->flags = SPA_DATA_FLAG_READWRITE;
    d->mapoffset = 0;
    if (c->own == 2)
        d->fd = mkstemp(path), unlink(path);
    else
        d->fd = memfd_create("virtualcam", MFD_CLOEXEC | (c->own ? 0 : MFD_ALLOW_SEALING));
    /* --dmabuf alone: sealed against resizing, as PipeWire seals the memfds it allocates */
    if (d->fd < 0 || ftruncate((int)d->fd, d->maxsize) < 0 ||
        (!c->own &&
         fcntl((int)d->fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) < 0) ||
        (d->data = mmap(NULL, d->maxsize, PROT_READ | PROT_WRITE, MAP_SHARED, (int)d->fd, 0)) ==
            MAP_FAILED) {
        perror("virtualcam: buffer");
        exit(1);
    }
}
static void on_remove_buffer(void* data, struct pw_buffer* pb)
{
    struct spa_data* d = &pb->buffer->datas[0];
    if (((struct cam*)data)->dmabuf || ((struct cam*)data)->own)
        munmap(d->data, d->maxsize), close((int)d->fd);
}

static void fill(const struct cam* c, struct spa_data* d, const struct blob* src)
{
    struct spa_chunk* k = d->chunk;
    unsigned char* dst = d->data;
    const unsigned char* s = src->p;
    struct plane pl[3];
    int np = layout(c, c->w, c->h, pl);
    k->offset = 0;
    if (!c->fmt->id) { /* MJPG: the picture as it is */
        memcpy(dst, s, src->n);
        k->size = (uint32_t)src->n;
        k->stride = c->stride > 0 ? (int32_t)c->stride : 0;
        return;
    }
    k->size = (uint32_t)frame_bytes(c, c->w, c->h, 0);
    k->stride = c->stride == 0 || c->gst ? 0 : (int32_t)pl[0].stride;
    for (int i = 0; i < np; i++) {
        for (size_t y = 0; y < pl[i].rows; y++, dst += pl[i].stride, s += s ? pl[i].row : 0) {
            size_t n = SPA_MIN(pl[i].row, pl[i].stride);
            for (size_t x = 0; x < n; x++) /* a pattern that moves a step each frame */
                dst[x] = s ? s[x] : (unsigned char)(x + 3 * y + 4 * c->frames + 64 * i);
            memset(dst + n, 0xA5, pl[i].stride - n);
        }
        memset(dst, 0xA5, pl[i].gap);
        dst += pl[i].gap;
    }
}

/* Chunks that break a consumer's bounds, one kind after another. */
static void spoil(const struct cam* c, struct spa_data* d)
{
    struct spa_chunk* k = d->chunk;
    switch ((c->frames - (uint64_t)c->garbage_after) % 5) {
    case 0:
        k->offset = d->maxsize - k->size / 2;
        break; /* runs past the end */
    case 1:
        k->size = d->maxsize + 4096;
        break; /* larger than the data */
    case 2:
        k->stride = (int32_t)d->maxsize;
        break; /* rows past the end */
    case 3:
        k->size /= 2;
        break; /* too small for the rows */
    default:
        k->offset = d->maxsize + 1, k->size = 1; /* starts past the end */
    }
}

static void on_process(void* data)
{
    struct cam* c = data;
    struct pw_buffer* pb;
    while (c->target && (pb = pw_stream_dequeue_buffer(c->stream))) {
        c->frames++;
        pw_stream_queue_buffer(c->stream, pb);
    }
    if (!c->target && c->exit_after >= 0 && c->frames >= (uint64_t)c->exit_after)
        pw_main_loop_quit(c->loop); /* a frame period after the last, so that it arrives */
    if (c->target || (c->stall_after >= 0 && c->frames >= (uint64_t)c->stall_after) ||
        (c->exit_after >= 0 && c->frames >= (uint64_t)c->exit_after) || c->switched == 1 ||
        !(pb = pw_stream_dequeue_buffer(c->stream)))
        return;
    static const struct blob none;
    struct spa_data* d = &pb->buffer->datas[0];
    /* --truncate-after: the buffer's memory cut to nothing, its chunk as before */
    int cut = c->truncate_after >= 0 && c->frames >= (uint64_t)c->truncate_after && d->fd >= 0;
    if (cut && ftruncate((int)d->fd, 0) < 0)
        perror("virtualcam: truncate");
    if (d->data && !cut)
        fill(c, d, c->switched && c->fmt->id ? &none : &c->frame); /* a raw frame fits one size */
    if (d->data && c->garbage_after >= 0 && c->frames >= (uint64_t)c->garbage_after)
        spoil(c, d);
    c->frames++;
    pw_stream_queue_buffer(c->stream, pb);
    if (c->switch_after >= 0 && c->frames == (uint64_t)c->switch_after) {
        uint8_t buf[512]; /* offer the new size alone; frames wait for its format */
        struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buf, sizeof buf);
        c->w = c->w2, c->h = c->h2, c->switched = 1;
        const struct spa_pod* p = enum_format(c, &b);
        pw_stream_update_params(c->stream, &p, 1);
    }
}

static void announce(struct cam* c)
{
    if (c->ready || !c->paused || !c->serial)
        return;
    c->ready = 1;
    printf("ready serial=%llu node=%u\n", (unsigned long long)c->serial, c->node_id);
    fflush(stdout);
}

static void on_state(void* data, enum pw_stream_state old, enum pw_stream_state state,
                     const char* error)
{
    struct cam* c = data;
    struct timespec iv = {0, c->flood ? 500000 : 1000000000L / c->fps}, now = {0, 1};
    int on = state == PW_STREAM_STATE_STREAMING;
    (void)old;
    if (error)
        fprintf(stderr, "virtualcam: %s\n", error);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)
        pw_main_loop_quit(c->loop);
    if (state == PW_STREAM_STATE_PAUSED && !c->paused)
        c->paused = 1, announce(c);
    if (!c->target)
        pw_loop_update_timer(pw_main_loop_get_loop(c->loop), c->timer, on ? &now : NULL,
                             on ? &iv : NULL, false);
}

static void on_timer(void* data, uint64_t expirations)
{
    struct cam* c = data;
    if (c->target && expirations)
        printf("frames %llu\n", (unsigned long long)c->frames), fflush(stdout);
    else if (pw_stream_is_driving(c->stream))
        pw_stream_trigger_process(c->stream);
}

/* The node's serial is known from its global in the registry. */
static void on_global(void* data, uint32_t id, uint32_t perm, const char* type, uint32_t version,
                      const struct spa_dict* props)
{
    struct cam* c = data;
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    const char* serial = spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL);
    (void)perm, (void)version;
    if (!c->target && !strcmp(type, PW_TYPE_INTERFACE_Node) && name && serial &&
        !strcmp(name, c->name))
        c->node_id = id, c->serial = strtoull(serial, NULL, 10), announce(c);
}

static void on_signal(void* data, int signo)
{
    (void)signo;
    pw_main_loop_quit(((struct cam*)data)->loop);
}

static struct blob slurp(const char* path)
{
    struct blob b = {0};
    FILE* f = fopen(path, "rb");
    long n = f && fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
    if (n <= 0 || fseek(f, 0, SEEK_SET) || !(b.p = malloc((size_t)n)) ||
        fread(b.p, 1, (size_t)n, f) != (size_t)n) {
        fprintf(stderr, "virtualcam: cannot read %s\n", path);
        exit(2);
    }
    fclose(f);
    b.n = (size_t)n;
    return b;
}

static void usage(void)
{
    fprintf(stderr,
            "usage: virtualcam [--name N] [--format F] [--size WxH] [--fps N] [--stride B]\n"
            "  [--matrix bt601|bt709] [--range limited|full] [--priority N] [--v4l2-path P]\n"
            "  [--no-formats] [--frame FILE] [--stall-after K] [--flood]\n"
            "  [--garbage-after K] [--switch-size-after K WxH] [--exit-after K] [--dmabuf]\n"
            "  [--gst-layout] [--own-buffers memfd|file] [--truncate-after K]\n"
            "  | virtualcam --consume TARGET\n");
    exit(2);
}

static int parse(struct cam* c, int argc, char** argv, const char** prio, const char** v4l2)
{
    for (int i = 1; i < argc; i++) {
        const char *o = argv[i], *v = argv[i + 1]; /* argv[argc] is NULL */
        size_t k = 0;
        if (!strcmp(o, "--gst-layout")) {
            c->gst = 1;
            continue;
        }
        if (!strcmp(o, "--flood") || !strcmp(o, "--dmabuf") || !strcmp(o, "--no-formats")) {
            *(o[2] == 'f' ? &c->flood : o[2] == 'd' ? &c->dmabuf : &c->no_formats) = 1;
            continue;
        }
        if (!v)
            usage();
        i++;
        if (!strcmp(o, "--name"))
            c->name = v;
        else if (!strcmp(o, "--consume"))
            c->target = v;
        else if (!strcmp(o, "--size")) {
            if (sscanf(v, "%ux%u", &c->w, &c->h) != 2 || !c->w || !c->h)
                usage();
        } else if (!strcmp(o, "--fps"))
            c->fps = (uint32_t)atoi(v);
        else if (!strcmp(o, "--stride"))
            c->stride = atol(v);
        else if (!strcmp(o, "--priority"))
            *prio = v;
        else if (!strcmp(o, "--v4l2-path"))
            *v4l2 = v;
        else if (!strcmp(o, "--frame"))
            c->frame = slurp(v);
        else if (!strcmp(o, "--stall-after"))
            c->stall_after = atol(v);
        else if (!strcmp(o, "--garbage-after"))
            c->garbage_after = atol(v);
        else if (!strcmp(o, "--exit-after"))
            c->exit_after = atol(v);
        else if (!strcmp(o, "--own-buffers"))
            c->own = !strcmp(v, "file") ? 2 : 1;
        else if (!strcmp(o, "--truncate-after"))
            c->truncate_after = atol(v);
        else if (!strcmp(o, "--matrix"))
            c->matrix =
                strcmp(v, "bt709") ? SPA_VIDEO_COLOR_MATRIX_BT601 : SPA_VIDEO_COLOR_MATRIX_BT709;
        else if (!strcmp(o, "--range"))
            c->range =
                strcmp(v, "full") ? SPA_VIDEO_COLOR_RANGE_16_235 : SPA_VIDEO_COLOR_RANGE_0_255;
        else if (!strcmp(o, "--switch-size-after") && argv[i + 1]) {
            c->switch_after = atol(v);
            if (sscanf(argv[++i], "%ux%u", &c->w2, &c->h2) != 2 || !c->w2 || !c->h2)
                usage();
        } else if (!strcmp(o, "--format")) {
            while (k < N_FMTS && strcmp(fmts[k].name, v))
                k++;
            if (k == N_FMTS)
                usage();
            c->fmt = &fmts[k];
        } else
            usage();
    }
    return c->fps && (c->fmt->id || c->target || c->frame.p) &&
           (!c->fmt->id || !c->frame.p || c->frame.n == frame_bytes(c, c->w, c->h, 1));
}

int main(int argc, char** argv)
{
    struct cam c = {.name = "virtualcam",
                    .fmt = &fmts[0],
                    .w = 640,
                    .h = 480,
                    .fps = 30,
                    .stride = -1,
                    .stall_after = -1,
                    .garbage_after = -1,
                    .switch_after = -1,
                    .exit_after = -1,
                    .truncate_after = -1};
    const char *prio = NULL, *v4l2 = NULL;
    if (!parse(&c, argc, argv, &prio, &v4l2)) {
        fprintf(stderr, "virtualcam: MJPG needs --frame; a raw frame file is one packed frame\n");
        return 2;
    }
    pw_init(&argc, &argv);
    c.loop = pw_main_loop_new(NULL);
    struct pw_loop* l = pw_main_loop_get_loop(c.loop);
    pw_loop_add_signal(l, SIGINT, on_signal, &c);
    pw_loop_add_signal(l, SIGTERM, on_signal, &c);
    // NULL when PipeWire's modules for this architecture are not installed.
    struct pw_context* ctx = pw_context_new(l, NULL, 0);
    if (!ctx) {
        perror("virtualcam: context");
        return 1;
    }
    struct pw_core* core = pw_context_connect(ctx, NULL, 0);
    if (!core) {
        perror("virtualcam: connect");
        return 1;
    }
    static const struct pw_registry_events reg_ev = {PW_VERSION_REGISTRY_EVENTS,
                                                     .global = on_global};
    static const struct pw_stream_events ev = {
        PW_VERSION_STREAM_EVENTS, .state_changed = on_state,   .param_changed = on_param_changed,
        .process = on_process,    .add_buffer = on_add_buffer, .remove_buffer = on_remove_buffer};
    struct spa_hook reg_l, stream_l;
    struct pw_registry* registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry, &reg_l, &reg_ev, &c);

    struct pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_ROLE, "Camera", NULL);
    if (c.target) {
        pw_properties_set(props, PW_KEY_MEDIA_CATEGORY, "Capture");
        pw_properties_set(props, PW_KEY_TARGET_OBJECT, c.target);
    } else {
        pw_properties_set(props, PW_KEY_MEDIA_CLASS, "Video/Source");
        pw_properties_set(props, PW_KEY_NODE_NAME, c.name);
        pw_properties_set(props, PW_KEY_NODE_DESCRIPTION, c.name);
        pw_properties_set(props, PW_KEY_PRIORITY_SESSION, prio);
        if (v4l2) {
            pw_properties_set(props, "device.api", "v4l2");
            pw_properties_set(props, "api.v4l2.path", v4l2);
            pw_properties_setf(props, PW_KEY_OBJECT_PATH, "v4l2:%s", v4l2);
        }
    }
    c.stream = pw_stream_new(core, c.target ? "virtualcam-consumer" : c.name, props);
    pw_stream_add_listener(c.stream, &stream_l, &ev, &c);
    c.timer = pw_loop_add_timer(l, on_timer, &c);

    uint8_t buf[1024];
    struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buf, sizeof buf);
    const struct spa_pod* params[2] = {c.target ? any_format(&b, 0) : enum_format(&c, &b)};
    if (c.target)
        params[1] = any_format(&b, 1);
    enum pw_stream_flags flags =
        PW_STREAM_FLAG_MAP_BUFFERS | (c.dmabuf || c.own ? PW_STREAM_FLAG_ALLOC_BUFFERS : 0) |
        (c.target ? PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_DONT_RECONNECT
                  : PW_STREAM_FLAG_DRIVER);
    if (pw_stream_connect(c.stream, c.target ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY,
                          flags, params, c.target ? 2 : 1) < 0) {
        fprintf(stderr, "virtualcam: cannot connect the stream\n");
        return 1;
    }
    struct timespec half = {0, 500000000L};
    if (c.target)
        pw_loop_update_timer(l, c.timer, &half, &half, false);
    pw_main_loop_run(c.loop);
    if (c.target)
        printf("frames %llu\n", (unsigned long long)c.frames);
    pw_stream_destroy(c.stream);
    pw_proxy_destroy((struct pw_proxy*)registry);
    pw_core_disconnect(core);
    pw_context_destroy(ctx);
    pw_main_loop_destroy(c.loop);
    pw_deinit();
    free(c.frame.p);
    return 0;
}
