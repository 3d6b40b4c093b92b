/* The break-even of releasing the interpreter lock around native work: two threads that each
   release the lock, work W microseconds and take it back, against one thread that works W
   microseconds holding it; and the cost of one release and reacquire with no other thread.
   Built and run by `python bench/bench_threads.py --handover`. */
#include <Python.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

static void work(double us) {
    const double end = now() + us * 1e-6;
    while (now() < end) {
    }
}

static const double kSeconds = 0.3;
static PyInterpreterState *interpreter;
static double work_us;
static volatile int stop;
static long calls[2];

static void *releasing_thread(void *arg) {
    const long index = (long)arg;
    PyThreadState *own = PyThreadState_New(interpreter);
    PyEval_RestoreThread(own);
    long n = 0;
    while (!stop) {
        PyThreadState *state = PyEval_SaveThread();
        work(work_us);
        PyEval_RestoreThread(state);
        ++n;
    }
    calls[index] = n;
    PyThreadState_Clear(own);
    PyThreadState_DeleteCurrent();
    return NULL;
}

int main(void) {
    Py_Initialize();
    interpreter = PyThreadState_Get()->interp;

    double best = 1.0;
    for (int round = 0; round < 5; ++round) {
        const long n = 1000000;
        const double began = now();
        for (long i = 0; i < n; ++i) PyEval_RestoreThread(PyEval_SaveThread());
        const double per_call = (now() - began) / n;
        if (per_call < best) best = per_call;
    }
    printf("release and reacquire, no other thread: %.0f ns\n", best * 1e9);

    const double sizes[] = {1, 2, 4, 8, 14, 40};
    for (size_t k = 0; k < sizeof sizes / sizeof sizes[0]; ++k) {
        work_us = sizes[k];
        long held = 0;
        const double began = now();
        while (now() - began < kSeconds) {
            work(work_us);
            ++held;
        }
        PyThreadState *main_state = PyEval_SaveThread();
        stop = 0;
        pthread_t threads[2];
        for (long i = 0; i < 2; ++i) pthread_create(&threads[i], NULL, releasing_thread, (void *)i);
        const struct timespec pause = {0, (long)(kSeconds * 1e9)};
        nanosleep(&pause, NULL);
        stop = 1;
        for (int i = 0; i < 2; ++i) pthread_join(threads[i], NULL);
        PyEval_RestoreThread(main_state);
        const double one = kSeconds / held, two = kSeconds / (calls[0] + calls[1]);
        printf("work %4.0f us: 1 thread holding %6.2f us/call, 2 threads releasing %6.2f us/call (x%.2f)\n",
               work_us, one * 1e6, two * 1e6, one / two);
    }
    Py_Finalize();
    return 0;
}
