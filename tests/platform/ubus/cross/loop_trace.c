/*
 * Prints what the loop does in a fixed script of timers, descriptors and
 * child processes, one line per callback, so that two builds of libubox
 * can be compared: order of timers due together, re-arming and cancelling
 * from callbacks, return values, read/eof on a pipe, delete from inside a
 * callback, a child's exit status.
 */
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libubox/uloop.h>

static struct uloop_timeout t[6];
static struct uloop_fd rd;
static struct uloop_process child;
static int pipefd[2];
static int fires;

static void tick(struct uloop_timeout *x)
{
	int i = (int) (x - t);

	printf("timer %d pending %d\n", i, x->pending);
	if (i == 0 && ++fires < 3)
		printf("re-arm %d\n", uloop_timeout_set(x, 5));
	if (i == 1) {
		printf("cancel 2: %d\n", uloop_timeout_cancel(&t[2]));
		printf("cancel 2 again: %d\n", uloop_timeout_cancel(&t[2]));
		printf("pending 3: %d\n", t[3].pending);
		printf("write %zd\n", write(pipefd[1], "abc", 3));
	}
	if (i == 3) {
		close(pipefd[1]);
		printf("closed\n");
	}
	if (i == 4) {
		printf("end\n");
		uloop_end();
	}
	fflush(stdout);
}

static void readable(struct uloop_fd *u, unsigned int events)
{
	char buf[8];
	ssize_t n = read(u->fd, buf, sizeof(buf));

	printf("fd events %u read %zd eof %d error %d\n", events, n, u->eof, u->error);
	if (n == 0) {
		printf("delete %d\n", uloop_fd_delete(u));
		printf("delete again %d\n", uloop_fd_delete(u));
		close(u->fd);
	}
	fflush(stdout);
}

static void reaped(struct uloop_process *p, int ret)
{
	printf("child exit %d pending %d\n", WEXITSTATUS(ret), p->pending);
	fflush(stdout);
}

int main(void)
{
	int i;

	if (uloop_init() < 0 || pipe(pipefd) < 0)
		return 100;
	child.cb = reaped;
	child.pid = fork();
	if (child.pid == 0) {
		usleep(50 * 1000);
		_exit(7);
	}
	printf("process add %d\n", uloop_process_add(&child));
	printf("process add again %d\n", uloop_process_add(&child));

	/* armed after the fork, spaced so that a slow start keeps the order */
	for (i = 0; i < 6; i++)
		t[i].cb = tick;
	uloop_timeout_set(&t[1], 100);
	uloop_timeout_set(&t[2], 100);
	uloop_timeout_set(&t[0], 0);
	uloop_timeout_set(&t[3], 300);
	uloop_timeout_set(&t[4], 600);
	printf("add pending: %d\n", uloop_timeout_add(&t[4]));
	printf("cancel unset: %d\n", uloop_timeout_cancel(&t[5]));

	rd.fd = pipefd[0];
	rd.cb = readable;
	printf("fd add %d\n", uloop_fd_add(&rd, ULOOP_READ));

	printf("run %d\n", uloop_run());
	printf("cancelling %d\n", uloop_cancelling());
	uloop_done();
	printf("done\n");
	return 0;
}
