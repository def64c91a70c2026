// The checks of the Node.js tests: each named check runs on after another fails, and the
// process ends with the count.
let failures = 0;

export async function check(name, body) {
  try {
    await body();
    console.log(`ok   ${name}`);
  } catch (error) {
    failures++;
    console.log(`FAIL ${name}\n${error.stack}`);
  }
}

export const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// What `test` gives once it gives something, polled every 100 ms for at most `ms`.
export async function eventually(what, test, ms = 5000) {
  const until = Date.now() + ms;
  for (;;) {
    const got = await test();
    if (got) return got;
    if (Date.now() > until) throw new Error(`never: ${what}`);
    await sleep(100);
  }
}

export function finish() {
  console.log(failures ? `${failures} failed` : "all passed");
  process.exit(failures ? 1 : 0);
}
