/* A control device for the ALSA mixer backend's tests on machines without a sound card: the
 * elements Master, Line, Mic, CD and Aux, each with a stereo "Playback Volume" (0..31) and a
 * stereo "Playback Switch". The state is shared by every open instance; every change (through a
 * control handle or from the test through kanalo_test_ctl_set) raises a value event on every
 * subscribed instance, like a kernel driver does for all its clients. */
#include <alsa/asoundlib.h>
#include <alsa/control_external.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#define NAMES 5
#define ELEMS (NAMES * 2)
#define MAX_INSTANCES 16
#define QUEUE 64

static const char* const kNames[NAMES] = {"Master", "Line", "Mic", "CD", "Aux"};
static long g_values[ELEMS][2];
static int g_init;
static pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;

typedef struct {
  snd_ctl_ext_t ext;
  int pipe[2];
  int subscribed;
  int queue[QUEUE];
  int head, count;
} instance_t;

static instance_t* g_instances[MAX_INSTANCES];

static void init_state(void) {
  if (g_init) return;
  for (int e = 0; e < ELEMS; ++e) g_values[e][0] = g_values[e][1] = (e % 2) ? 1 : 20;
  g_init = 1;
}

/* Called with g_mu held. */
static void raise_event(int key) {
  for (int i = 0; i < MAX_INSTANCES; ++i) {
    instance_t* in = g_instances[i];
    if (!in || !in->subscribed || in->count == QUEUE) continue;
    in->queue[(in->head + in->count) % QUEUE] = key;
    in->count++;
    char b = 1;
    if (write(in->pipe[1], &b, 1) != 1) { /* the reader drains on its next event */
    }
  }
}

static void elem_name(int key, char* out, size_t n) {
  snprintf(out, n, "%s Playback %s", kNames[key / 2], (key % 2) ? "Switch" : "Volume");
}

static int elem_count(snd_ctl_ext_t* ext) {
  (void)ext;
  return ELEMS;
}

static int elem_list(snd_ctl_ext_t* ext, unsigned int offset, snd_ctl_elem_id_t* id) {
  (void)ext;
  char name[64];
  elem_name((int)offset, name, sizeof name);
  snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
  snd_ctl_elem_id_set_name(id, name);
  return 0;
}

static snd_ctl_ext_key_t find_elem(snd_ctl_ext_t* ext, const snd_ctl_elem_id_t* id) {
  (void)ext;
  const char* want = snd_ctl_elem_id_get_name(id);
  unsigned int numid = snd_ctl_elem_id_get_numid(id);
  if (numid > 0 && numid <= ELEMS) return numid - 1;
  for (int k = 0; k < ELEMS; ++k) {
    char name[64];
    elem_name(k, name, sizeof name);
    if (strcmp(name, want) == 0) return (snd_ctl_ext_key_t)k;
  }
  return SND_CTL_EXT_KEY_NOT_FOUND;
}

static int get_attribute(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, int* type, unsigned int* acc,
                         unsigned int* count) {
  (void)ext;
  *type = (key % 2) ? SND_CTL_ELEM_TYPE_BOOLEAN : SND_CTL_ELEM_TYPE_INTEGER;
  *acc = SND_CTL_EXT_ACCESS_READWRITE;
  *count = 2;
  return 0;
}

static int get_integer_info(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* imin, long* imax,
                            long* istep) {
  (void)ext;
  *imin = 0;
  *imax = (key % 2) ? 1 : 31;
  *istep = 1;
  return 0;
}

static int read_integer(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value) {
  (void)ext;
  pthread_mutex_lock(&g_mu);
  init_state();
  value[0] = g_values[key][0];
  value[1] = g_values[key][1];
  pthread_mutex_unlock(&g_mu);
  return 0;
}

static int write_integer(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value) {
  (void)ext;
  pthread_mutex_lock(&g_mu);
  init_state();
  int changed = g_values[key][0] != value[0] || g_values[key][1] != value[1];
  g_values[key][0] = value[0];
  g_values[key][1] = value[1];
  if (changed) raise_event((int)key);
  pthread_mutex_unlock(&g_mu);
  return changed;
}

static void subscribe_events(snd_ctl_ext_t* ext, int subscribe) {
  instance_t* in = ext->private_data;
  pthread_mutex_lock(&g_mu);
  in->subscribed = subscribe;
  pthread_mutex_unlock(&g_mu);
}

static int read_event(snd_ctl_ext_t* ext, snd_ctl_elem_id_t* id, unsigned int* event_mask) {
  instance_t* in = ext->private_data;
  pthread_mutex_lock(&g_mu);
  if (in->count == 0) {
    pthread_mutex_unlock(&g_mu);
    return -EAGAIN;
  }
  int key = in->queue[in->head];
  in->head = (in->head + 1) % QUEUE;
  in->count--;
  pthread_mutex_unlock(&g_mu);
  char b;
  if (read(in->pipe[0], &b, 1) != 1) { /* the byte count follows the queue */
  }
  char name[64];
  elem_name(key, name, sizeof name);
  snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
  snd_ctl_elem_id_set_name(id, name);
  snd_ctl_elem_id_set_numid(id, (unsigned int)key + 1);
  *event_mask = SND_CTL_EVENT_MASK_VALUE;
  return 1;
}

static void close_instance(snd_ctl_ext_t* ext) {
  instance_t* in = ext->private_data;
  pthread_mutex_lock(&g_mu);
  for (int i = 0; i < MAX_INSTANCES; ++i)
    if (g_instances[i] == in) g_instances[i] = NULL;
  pthread_mutex_unlock(&g_mu);
  close(in->pipe[0]);
  close(in->pipe[1]);
  free(in);
}

static const snd_ctl_ext_callback_t kCallbacks = {
    .close = close_instance,
    .elem_count = elem_count,
    .elem_list = elem_list,
    .find_elem = find_elem,
    .get_attribute = get_attribute,
    .get_integer_info = get_integer_info,
    .read_integer = read_integer,
    .write_integer = write_integer,
    .subscribe_events = subscribe_events,
    .read_event = read_event,
};

SND_CTL_PLUGIN_DEFINE_FUNC(kanalotest) {
  (void)root;
  (void)conf;
  instance_t* in = calloc(1, sizeof *in);
  if (!in) return -ENOMEM;
  if (pipe(in->pipe) != 0) {
    free(in);
    return -errno;
  }
  in->ext.version = SND_CTL_EXT_VERSION;
  in->ext.card_idx = 0;
  strcpy(in->ext.id, "KanaloTest");
  strcpy(in->ext.driver, "kanalotest");
  strcpy(in->ext.name, "Kanalo Test Mixer");
  strcpy(in->ext.longname, "Kanalo Test Mixer");
  strcpy(in->ext.mixername, "Kanalo Test Mixer");
  in->ext.poll_fd = in->pipe[0];
  in->ext.callback = &kCallbacks;
  in->ext.private_data = in;
  int err = snd_ctl_ext_create(&in->ext, name, mode);
  if (err < 0) {
    close(in->pipe[0]);
    close(in->pipe[1]);
    free(in);
    return err;
  }
  pthread_mutex_lock(&g_mu);
  for (int i = 0; i < MAX_INSTANCES; ++i)
    if (!g_instances[i]) {
      g_instances[i] = in;
      break;
    }
  pthread_mutex_unlock(&g_mu);
  *handlep = in->ext.handle;
  return 0;
}
SND_CTL_PLUGIN_SYMBOL(kanalotest);

/* Test side: element `name` ("Line"), volume (0) or switch (1), both channels. */
long kanalo_test_ctl_get(const char* name, int isSwitch, int channel) {
  for (int n = 0; n < NAMES; ++n)
    if (strcmp(kNames[n], name) == 0) {
      pthread_mutex_lock(&g_mu);
      init_state();
      long v = g_values[n * 2 + (isSwitch ? 1 : 0)][channel ? 1 : 0];
      pthread_mutex_unlock(&g_mu);
      return v;
    }
  return -1;
}

void kanalo_test_ctl_set(const char* name, int isSwitch, long left, long right) {
  for (int n = 0; n < NAMES; ++n)
    if (strcmp(kNames[n], name) == 0) {
      long v[2] = {left, right};
      write_integer(NULL, (snd_ctl_ext_key_t)(n * 2 + (isSwitch ? 1 : 0)), v);
    }
}
