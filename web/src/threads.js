// What the threaded module asks of its host, answered for how kelvo_fx.mjs
// runs it: a pool made at load, a calling thread that waits in join.
mergeInto(LibraryManager.library, {
  // Its CPUs are the threads it was loaded with (the pool and the thread
  // that calls): a count beyond them would only ask for threads the pool
  // cannot start. This also spares Node the browser's navigator.
  emscripten_num_logical_cores: function() {
    return Module['kvfxThreads'] || 1;
  },
  // Waiting in join is safe where the thread may block: a worker, or Node.
  // A page's own thread would freeze while a call runs, which is worth
  // saying once.
  emscripten_check_blocking_allowed: function() {
    if (ENVIRONMENT_IS_WORKER || (typeof process == 'object' && typeof process.versions == 'object')) return;
    warnOnce('kelvo_fx: the threaded build blocks the page while a call runs; load it in a Worker');
  },
});
