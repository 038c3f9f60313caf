"""Work shared out among forked worker processes, each taking more as it finishes.

Lighter than a multiprocessing pool: a worker is a fork of this process with two pipes, no
threads and no manager, so starting and stopping them costs milliseconds, and a small job
gains from them too. Where a process cannot fork, a multiprocessing pool does the work.
"""

import os
import pickle
import selectors
import signal
import struct

HEADER = struct.Struct("<Q")
# Tasks go out in batches of about this many bytes of input (or this many tasks), so that
# messages do not outweigh small files, and no worker is left with a long tail.
BATCH_BYTES = 1 << 20
BATCH_TASKS = 64


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _read_exact(fd, n):
    chunks = []
    while n:
        chunk = os.read(fd, min(n, 1 << 20))
        if not chunk:
            return None
        chunks.append(chunk)
        n -= len(chunk)
    return b"".join(chunks)


def _send(fd, message):
    data = pickle.dumps(message, pickle.HIGHEST_PROTOCOL)
    _write_all(fd, HEADER.pack(len(data)) + data)


def _receive(fd):
    """The next message, or None once the other end is closed."""
    head = _read_exact(fd, HEADER.size)
    if head is None:
        return None
    body = _read_exact(fd, HEADER.unpack(head)[0])
    return None if body is None else pickle.loads(body)


def _serve(fn, tasks, results):
    """A worker's life: batches of (index, task) in, batches of (index, result) out, until an
    empty batch."""
    while batch := _receive(tasks):
        try:
            _send(results, [(i, fn(task)) for i, task in batch])
        except BaseException:
            import traceback  # only now: it takes longer to import than a small job to run

            _send(results, traceback.format_exc())
            raise


def _batches(tasks, sizes):
    batch, size = [], 0
    for i, task in enumerate(tasks):
        batch.append((i, task))
        size += sizes[i]
        if size >= BATCH_BYTES or len(batch) >= BATCH_TASKS:
            yield batch
            batch, size = [], 0
    if batch:
        yield batch


def imap(fn, tasks, jobs, sizes):
    """fn(task) for every task, in order, computed by `jobs` workers; `sizes` weighs the
    tasks (bytes to read). fn and its results must pickle; an error in a worker is raised
    here as RuntimeError."""
    if not hasattr(os, "fork"):
        import multiprocessing

        with multiprocessing.Pool(jobs) as pool:
            yield from pool.imap(fn, tasks, chunksize=max(1, len(tasks) // (16 * jobs)))
        return
    pending = _batches(tasks, sizes)
    # By the result pipe's descriptor: [pid, the task pipe's descriptor, whether it was told
    # to stop (an empty batch), batches given and not yet answered].
    workers = {}
    selector = selectors.DefaultSelector()
    done, ready, upto = {}, 0, len(tasks)

    def give(worker):
        if not worker[2]:
            batch = next(pending, [])
            _send(worker[1], batch)
            worker[2] = not batch
            worker[3] += bool(batch)

    try:
        for _ in range(jobs):
            task_r, task_w = os.pipe()
            result_r, result_w = os.pipe()
            pid = os.fork()
            if pid == 0:  # the worker: no way back into the caller's code
                status = 1
                try:
                    os.close(task_w)
                    os.close(result_r)
                    for fd, (_, other, _, _) in workers.items():
                        os.close(fd)
                        os.close(other)
                    _serve(fn, task_r, result_w)
                    status = 0
                finally:
                    os._exit(status)
            os.close(task_r)
            os.close(result_w)
            workers[result_r] = worker = [pid, task_w, False, 0]
            selector.register(result_r, selectors.EVENT_READ)
            for _ in range(2):  # one to work on, one waiting
                give(worker)
        while ready < upto:
            for key, _ in selector.select():
                worker = workers[key.fd]
                message = _receive(key.fd)
                if message is None:  # the worker stopped: as told, or not
                    if worker[3]:
                        raise RuntimeError("a worker process ended before its work was done")
                    selector.unregister(key.fd)
                    continue
                if isinstance(message, str):
                    raise RuntimeError(f"a worker process failed:\n{message}")
                done.update(message)
                worker[3] -= 1
                give(worker)
            while ready in done:
                yield done.pop(ready)
                ready += 1
    finally:
        selector.close()
        for result_r, (pid, task_w, _, _) in workers.items():
            os.close(task_w)  # a worker still waiting for work sees the end and stops
            os.close(result_r)
            if ready < upto:
                try:
                    os.kill(pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
            os.waitpid(pid, 0)
