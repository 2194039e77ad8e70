/* A control device for the ALSA mixer backend's tests on machines without a sound card. Without
 * arguments: the elements Master, Line, Mic, CD and Aux, each with a stereo "Playback Volume"
 * (0..31) and a stereo "Playback Switch". With `set "..."`: the controls of a real card (a CM108
 * USB interface, a desktop or laptop HDA codec, an HDMI-only card). The state is shared by every
 * open instance; every change (through a control handle or from the test through
 * kanalo_test_ctl_set) raises a value event on every subscribed instance, like a kernel driver does
 * for all its clients. */
#include <alsa/asoundlib.h>
#include <alsa/control_external.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#define MAX_ELEMS 24
#define MAX_INSTANCES 16
#define QUEUE 64

/* One control: its full name, kind (0 integer 0..max, 1 boolean, 2 enumerated over `items`) and
 * channel count. */
typedef struct {
  const char* name;
  int kind;
  long max;
  int channels;
  const char* const* items;
} elem_t;

typedef struct {
  const char* id;
  const char* card;
  int count;
  elem_t elems[MAX_ELEMS];
} set_t;

static const char* const kHdaSources[] = {"Front Mic", "Rear Mic", "Line", NULL};

/* The control sets of real cards, as their kernel drivers name them. */
static const set_t kSets[] = {
    /* The old-style card the first tests were written against. */
    {"default",
     "Kanalo Test Mixer",
     10,
     {{"Master Playback Volume", 0, 31, 2, NULL},
      {"Master Playback Switch", 1, 1, 2, NULL},
      {"Line Playback Volume", 0, 31, 2, NULL},
      {"Line Playback Switch", 1, 1, 2, NULL},
      {"Mic Playback Volume", 0, 31, 2, NULL},
      {"Mic Playback Switch", 1, 1, 2, NULL},
      {"CD Playback Volume", 0, 31, 2, NULL},
      {"CD Playback Switch", 1, 1, 2, NULL},
      {"Aux Playback Volume", 0, 31, 2, NULL},
      {"Aux Playback Switch", 1, 1, 2, NULL}}},
    /* A CM108-class USB interface (snd-usb-audio): what most radio interfaces are. */
    {"cm108",
     "USB Audio Device",
     7,
     {{"Speaker Playback Volume", 0, 151, 2, NULL},
      {"Speaker Playback Switch", 1, 1, 2, NULL},
      {"Mic Playback Volume", 0, 32, 1, NULL},
      {"Mic Playback Switch", 1, 1, 1, NULL},
      {"Mic Capture Volume", 0, 16, 1, NULL},
      {"Mic Capture Switch", 1, 1, 1, NULL},
      {"Auto Gain Control", 1, 1, 1, NULL}}},
    /* A desktop HDA codec (Realtek ALC8xx class). */
    {"hda-desktop",
     "HDA Intel PCH",
     16,
     {{"Master Playback Volume", 0, 87, 1, NULL},
      {"Master Playback Switch", 1, 1, 1, NULL},
      {"Front Playback Volume", 0, 87, 2, NULL},
      {"Front Playback Switch", 1, 1, 2, NULL},
      {"Line Playback Volume", 0, 31, 2, NULL},
      {"Line Playback Switch", 1, 1, 2, NULL},
      {"Front Mic Playback Volume", 0, 31, 2, NULL},
      {"Front Mic Playback Switch", 1, 1, 2, NULL},
      {"Front Mic Boost Volume", 0, 3, 2, NULL},
      {"Rear Mic Playback Volume", 0, 31, 2, NULL},
      {"Rear Mic Playback Switch", 1, 1, 2, NULL},
      {"Rear Mic Boost Volume", 0, 3, 2, NULL},
      {"Capture Volume", 0, 63, 2, NULL},
      {"Capture Switch", 1, 1, 2, NULL},
      {"Input Source", 2, 2, 1, kHdaSources},
      {"PCM Playback Volume", 0, 255, 2, NULL}}},
    /* A laptop HDA codec: no analogue loop from an input to the speakers. */
    {"hda-laptop",
     "HDA Intel PCH",
     9,
     {{"Master Playback Volume", 0, 87, 1, NULL},
      {"Master Playback Switch", 1, 1, 1, NULL},
      {"Speaker Playback Volume", 0, 87, 2, NULL},
      {"Speaker Playback Switch", 1, 1, 2, NULL},
      {"Headphone Playback Volume", 0, 87, 2, NULL},
      {"Headphone Playback Switch", 1, 1, 2, NULL},
      {"Mic Boost Volume", 0, 3, 2, NULL},
      {"Capture Volume", 0, 63, 2, NULL},
      {"Capture Switch", 1, 1, 2, NULL}}},
    /* An HDMI-only card (a graphics card's audio), often card 0. */
    {"hdmi",
     "HDA ATI HDMI",
     2,
     {{"IEC958 Playback Switch", 1, 1, 2, NULL}, {"IEC958,1 Playback Switch", 1, 1, 2, NULL}}},
};
#define SETS ((int)(sizeof kSets / sizeof kSets[0]))

static long g_values[SETS][MAX_ELEMS][2];
static int g_init;
static pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;

typedef struct {
  snd_ctl_ext_t ext;
  int set;
  int pipe[2];
  int subscribed;
  int queue[QUEUE];
  int head, count;
} instance_t;

static instance_t* g_instances[MAX_INSTANCES];

static void init_state(void) {
  if (g_init) return;
  for (int s = 0; s < SETS; ++s)
    for (int e = 0; e < kSets[s].count; ++e) {
      const elem_t* el = &kSets[s].elems[e];
      const long v = el->kind == 1 ? 1 : el->kind == 2 ? 0 : (s == 0 ? 20 : el->max * 2 / 3);
      g_values[s][e][0] = g_values[s][e][1] = v;
    }
  g_init = 1;
}

static int set_of(snd_ctl_ext_t* ext) {
  return ext ? ((instance_t*)ext->private_data)->set : 0;
}

/* Called with g_mu held. */
static void raise_event(int set, int key) {
  for (int i = 0; i < MAX_INSTANCES; ++i) {
    instance_t* in = g_instances[i];
    if (!in || in->set != set || !in->subscribed || in->count == QUEUE) continue;
    in->queue[(in->head + in->count) % QUEUE] = key;
    in->count++;
    char b = 1;
    if (write(in->pipe[1], &b, 1) != 1) { /* the reader drains on its next event */
    }
  }
}

static int elem_count(snd_ctl_ext_t* ext) {
  return kSets[set_of(ext)].count;
}

static int elem_list(snd_ctl_ext_t* ext, unsigned int offset, snd_ctl_elem_id_t* id) {
  snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
  snd_ctl_elem_id_set_name(id, kSets[set_of(ext)].elems[offset].name);
  return 0;
}

static snd_ctl_ext_key_t find_elem(snd_ctl_ext_t* ext, const snd_ctl_elem_id_t* id) {
  const set_t* set = &kSets[set_of(ext)];
  const char* want = snd_ctl_elem_id_get_name(id);
  unsigned int numid = snd_ctl_elem_id_get_numid(id);
  if (numid > 0 && numid <= (unsigned int)set->count) return numid - 1;
  for (int k = 0; k < set->count; ++k)
    if (strcmp(set->elems[k].name, want) == 0) return (snd_ctl_ext_key_t)k;
  return SND_CTL_EXT_KEY_NOT_FOUND;
}

static int get_attribute(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, int* type, unsigned int* acc,
                         unsigned int* count) {
  const elem_t* el = &kSets[set_of(ext)].elems[key];
  *type = el->kind == 1   ? SND_CTL_ELEM_TYPE_BOOLEAN
          : el->kind == 2 ? SND_CTL_ELEM_TYPE_ENUMERATED
                          : SND_CTL_ELEM_TYPE_INTEGER;
  *acc = SND_CTL_EXT_ACCESS_READWRITE;
  *count = (unsigned int)el->channels;
  return 0;
}

static int get_integer_info(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* imin, long* imax,
                            long* istep) {
  *imin = 0;
  *imax = kSets[set_of(ext)].elems[key].max;
  *istep = 1;
  return 0;
}

static int get_enumerated_info(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int* items) {
  *items = (unsigned int)kSets[set_of(ext)].elems[key].max + 1;
  return 0;
}

static int get_enumerated_name(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int item,
                               char* name, size_t len) {
  const elem_t* el = &kSets[set_of(ext)].elems[key];
  if (!el->items || item > (unsigned int)el->max) return -EINVAL;
  snprintf(name, len, "%s", el->items[item]);
  return 0;
}

static int read_value(int set, snd_ctl_ext_key_t key, long* value) {
  pthread_mutex_lock(&g_mu);
  init_state();
  for (int c = 0; c < kSets[set].elems[key].channels; ++c) value[c] = g_values[set][key][c];
  pthread_mutex_unlock(&g_mu);
  return 0;
}

static int write_value(int set, snd_ctl_ext_key_t key, const long* value) {
  pthread_mutex_lock(&g_mu);
  init_state();
  int changed = 0;
  for (int c = 0; c < kSets[set].elems[key].channels; ++c) {
    changed |= g_values[set][key][c] != value[c];
    g_values[set][key][c] = value[c];
  }
  if (changed) raise_event(set, (int)key);
  pthread_mutex_unlock(&g_mu);
  return changed;
}

static int read_integer(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value) {
  return read_value(set_of(ext), key, value);
}

static int write_integer(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value) {
  return write_value(set_of(ext), key, value);
}

static int read_enumerated(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int* items) {
  long v[2] = {0, 0};
  read_value(set_of(ext), key, v);
  items[0] = (unsigned int)v[0];
  return 0;
}

static int write_enumerated(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int* items) {
  long v[2] = {(long)items[0], (long)items[0]};
  return write_value(set_of(ext), key, v);
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
  snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
  snd_ctl_elem_id_set_name(id, kSets[in->set].elems[key].name);
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
    .get_enumerated_info = get_enumerated_info,
    .get_enumerated_name = get_enumerated_name,
    .read_enumerated = read_enumerated,
    .write_enumerated = write_enumerated,
    .subscribe_events = subscribe_events,
    .read_event = read_event,
};

SND_CTL_PLUGIN_DEFINE_FUNC(kanalotest) {
  (void)root;
  /* `set "cm108"` picks the card; without it the old-style default. */
  int set = 0;
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* key;
    const char* val;
    if (snd_config_get_id(n, &key) < 0 || strcmp(key, "set") != 0) continue;
    if (snd_config_get_string(n, &val) < 0) return -EINVAL;
    set = -1;
    for (int k = 0; k < SETS; ++k)
      if (strcmp(kSets[k].id, val) == 0) set = k;
    if (set < 0) return -ENOENT;
  }
  instance_t* in = calloc(1, sizeof *in);
  if (!in) return -ENOMEM;
  in->set = set;
  if (pipe(in->pipe) != 0) {
    free(in);
    return -errno;
  }
  in->ext.version = SND_CTL_EXT_VERSION;
  in->ext.card_idx = 0;
  strcpy(in->ext.id, "KanaloTest");
  strcpy(in->ext.driver, "kanalotest");
  snprintf(in->ext.name, sizeof in->ext.name, "%s", kSets[set].card);
  snprintf(in->ext.longname, sizeof in->ext.longname, "%s", kSets[set].card);
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

/* Test side: element `name` ("Line"), volume (0) or switch (1), both channels, of the default set.
 */
long kanalo_test_ctl_get(const char* name, int isSwitch, int channel) {
  char full[64];
  snprintf(full, sizeof full, "%s Playback %s", name, isSwitch ? "Switch" : "Volume");
  for (int k = 0; k < kSets[0].count; ++k)
    if (strcmp(kSets[0].elems[k].name, full) == 0) {
      long v[2];
      read_value(0, (snd_ctl_ext_key_t)k, v);
      return v[channel ? 1 : 0];
    }
  return -1;
}

void kanalo_test_ctl_set(const char* name, int isSwitch, long left, long right) {
  char full[64];
  snprintf(full, sizeof full, "%s Playback %s", name, isSwitch ? "Switch" : "Volume");
  for (int k = 0; k < kSets[0].count; ++k)
    if (strcmp(kSets[0].elems[k].name, full) == 0) {
      long v[2] = {left, right};
      write_value(0, (snd_ctl_ext_key_t)k, v);
    }
}

/* Test side, any set: the first channel of control `name` (-1 when the set has none). */
long kanalo_test_ctl_value(const char* set, const char* name) {
  for (int s = 0; s < SETS; ++s) {
    if (strcmp(kSets[s].id, set) != 0) continue;
    for (int k = 0; k < kSets[s].count; ++k)
      if (strcmp(kSets[s].elems[k].name, name) == 0) {
        long v[2];
        read_value(s, (snd_ctl_ext_key_t)k, v);
        return v[0];
      }
  }
  return -1;
}
