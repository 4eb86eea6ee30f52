// The simulator's web console in a real browser: Debian's headless Chromium
// driven by playwright-core (pinned in package-lock.json; no browser is
// downloaded). It loads the page, injects an MO through the form and checks
// that a `listen` process receives it, adds a fault rule through the page
// and checks that the next submit is refused as the rule says, and checks
// that the page lists both.
//
// Usage: node console.test.js VELMORSMPPDEMO [SCREENSHOT.png]
// Exit 0 on success; a failure prints what was expected and what was seen.
"use strict";
const { chromium } = require("playwright-core");
const { spawn, execFile } = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");
const readline = require("readline");

const exe = process.argv[2];
const screenshot = process.argv[3];
const children = [];

function fail(what) {
  console.error("FAIL: " + what);
  process.exitCode = 1;
  throw new Error(what);
}

// A child process whose stdout lines can be awaited.
function start(args) {
  const child = spawn(exe, args, { stdio: ["ignore", "pipe", "pipe"] });
  children.push(child);
  const lines = [];
  let waiters = [];
  readline.createInterface({ input: child.stdout }).on("line", (line) => {
    lines.push(line);
    waiters = waiters.filter((w) => !w(line));
  });
  child.stderr.on("data", () => {});
  child.waitFor = (test, ms, what) =>
    new Promise((resolve, reject) => {
      const found = lines.find(test);
      if (found) return resolve(found);
      const timer = setTimeout(() => reject(new Error("timed out waiting for " + what)), ms);
      waiters.push((line) => (test(line) ? (clearTimeout(timer), resolve(line), true) : false));
    });
  child.exited = new Promise((resolve) => child.on("exit", (code) => resolve(code)));
  return child;
}

function run(args) {
  return new Promise((resolve) =>
    execFile(exe, args, { timeout: 15000 }, (err, stdout, stderr) =>
      resolve({ code: err ? err.code : 0, stdout, stderr })));
}

async function main() {
  const sim = start(["simulate", "--port", "0", "--http", "0", "--json", "--delivery-delay", "10m"]);
  const listening = JSON.parse(await sim.waitFor((l) => l.includes('"listening"'), 10000, "the simulator"));
  const smsc = String(listening.port), url = `http://127.0.0.1:${listening.http_port}/`;

  const listener = start(["listen", "--port", smsc, "--count", "1", "--json"]);
  await sim.waitFor((l) => l.includes('"bound"') && l.includes('"receiver"'), 10000, "listen to bind");

  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "velmor-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    viewport: { width: 1440, height: 900 },
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  try {
    const page = context.pages()[0] || (await context.newPage());
    await page.goto(url);
    await page.waitForSelector("#sessions tr td:has-text('receiver')", { timeout: 10000 });

    // An MO through the form reaches the listening ESME, in UCS-2.
    const text = "Привет from the console";
    await page.fill("#mo [name=from]", "4670123");
    await page.fill("#mo [name=text]", text);
    await page.click("#mo button[type=submit]");
    await page.waitForSelector("#mo-note.ok", { timeout: 10000 });
    const heard = await Promise.race([listener.exited, new Promise((r) => setTimeout(() => r("timeout"), 10000))]);
    if (heard !== 0) fail("listen did not end after one message (exit " + heard + ")");
    const got = await listener.waitFor((l) => l.includes('"message"'), 1000, "the MO line");
    const message = JSON.parse(got);
    if (message.text !== text || message.from !== "4670123" || message.data_coding !== 8)
      fail("listen got " + got);

    // A rule added on the page refuses the next submit with its status.
    await page.fill("#rule [name=prefix]", "4670666");
    await page.selectOption("#rule [name=fault]", "refuse");
    await page.fill("#rule [name=arg]", "ESME_RSUBMITFAIL");
    await page.click("#rule button[type=submit]");
    await page.waitForSelector(".rule code:has-text('4670666')", { timeout: 10000 });
    const refused = await run(["send", "--port", smsc, "--to", "4670666", "--text", "should be refused"]);
    if (refused.code !== 5 || !refused.stderr.includes("0x00000045 ESME_RSUBMITFAIL"))
      fail("submit to 4670666: exit " + refused.code + ", " + refused.stderr);
    const accepted = await run(["send", "--port", smsc, "--to", "4670001", "--text", "goes through"]);
    if (accepted.code !== 0) fail("submit to 4670001: exit " + accepted.code + ", " + accepted.stderr);

    // The page shows the MO, the refusal and the accepted message.
    await page.waitForSelector("#activity tr.inject td:has-text('" + text + "')", { timeout: 10000 });
    await page.waitForSelector("#activity tr.refused td:has-text('ESME_RSUBMITFAIL')", { timeout: 10000 });
    await page.waitForSelector("#messages tr td:has-text('4670001')", { timeout: 10000 });
    if (screenshot) await page.screenshot({ path: screenshot, fullPage: true });

    // Switching the rule off on the page removes it from the simulator.
    await page.click(".rule .switch span");
    const deadline = Date.now() + 10000;
    for (;;) {
      const rules = await (await fetch(url + "api/rules")).json();
      if (rules.length === 0) break;
      if (Date.now() > deadline) fail("the rule is still there after its switch was turned off");
      await new Promise((r) => setTimeout(r, 100));
    }
    console.log("ok: console injected an MO, added and removed a rule, listed messages and activity");
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main()
  .catch((e) => {
    if (!process.exitCode) console.error("FAIL: " + e.message);
    process.exitCode = 1;
  })
  .finally(() => {
    for (const c of children) if (c.exitCode === null) c.kill("SIGTERM");
  });
