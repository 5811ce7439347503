/*
 * A daemon-shaped C program on the loop: ticks until a signal ends the
 * loop, then exits with the status uloop_run() returned. "early" raises
 * SIGTERM between uloop_init() and the run, "before-init" before
 * uloop_init().
 */
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <libubox/uloop.h>

static struct uloop_timeout tick;
static int ticks;

static void on_tick(struct uloop_timeout *t)
{
	ticks++;
	uloop_timeout_set(t, 20);
}

int main(int argc, char **argv)
{
	int ret;

	if (argc > 1 && !strcmp(argv[1], "before-init"))
		raise(SIGTERM);
	if (uloop_init() < 0)
		return 100;
	tick.cb = on_tick;
	uloop_timeout_set(&tick, 20);
	if (argc > 1 && !strcmp(argv[1], "early"))
		raise(SIGTERM);
	printf("ready\n");
	fflush(stdout);

	ret = uloop_run();
	uloop_done();
	printf("ret %d ticked %d\n", ret, ticks > 0);
	return ret;
}
