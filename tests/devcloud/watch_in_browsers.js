// Drives the watch page in Debian's Chromium and Firefox ESR through
// puppeteer-core, both on their default autoplay policy, at phone size.
//   node watch_in_browsers.js PLAN.json
// PLAN: {"browsers": [...], "screenshots": DIR, "profiles": DIR,
//        "complete": URL, "hole": URL, "stopped": URL, ...}
// The lessons behind "complete", "hole" and "stopped" are in place when it
// starts; after those it prints "ready" and waits for a line on standard
// input: the address of a lesson the caller is still uploading ("growing").
// Prints one JSON line per finished check; exits non-zero on the first
// failed one, naming it.
"use strict";
const assert = require("node:assert/strict");
const fs = require("node:fs");
const path = require("node:path");
const readline = require("node:readline");
const puppeteer = require("puppeteer-core");

const plan = JSON.parse(fs.readFileSync(process.argv[2], "utf8"));
const PHONE = { width: 360, height: 740 };
const BROWSERS = {
  chromium: () => puppeteer.launch({
    browser: "chrome", executablePath: "/usr/bin/chromium", headless: true, timeout: 60000,
    // Headless mode mutes the tab; a student's phone does not.
    ignoreDefaultArgs: ["--mute-audio"],
    args: process.getuid() === 0 ? ["--no-sandbox"] : [],
    userDataDir: path.join(plan.profiles, "chromium"),
  }),
  firefox: () => puppeteer.launch({
    browser: "firefox", executablePath: "/usr/bin/firefox-esr", headless: true, timeout: 60000,
    userDataDir: path.join(plan.profiles, "firefox"),
  }),
};

const stdinLines = readline.createInterface({ input: process.stdin })[Symbol.asyncIterator]();
function report(obj) { process.stdout.write(JSON.stringify(obj) + "\n"); }

// Everything a check needs to know about the page at once.
function look() {
  const v = document.getElementById("lesson");
  const r = v.getBoundingClientRect();
  const snap = document.querySelector("#snapshots a");
  // Where the player draws its play control and time line.
  const controls = [[r.left + 24, r.bottom - 16], [r.left + r.width / 2, r.bottom - 16], [r.right - 24, r.bottom - 16]];
  return {
    state: document.body.dataset.state, player: document.body.dataset.player,
    autoplay: document.body.dataset.autoplay, polling: document.body.dataset.polling || "",
    time: v.currentTime, duration: v.duration, paused: v.paused, ended: v.ended, muted: v.muted, volume: v.volume,
    playButton: !document.getElementById("play").hidden, liveButton: !document.getElementById("jump").hidden,
    status: document.getElementById("status").textContent, hint: document.getElementById("hint").textContent,
    controlsFree: controls.every(([x, y]) => document.elementFromPoint(x, y) === v),
    scrollsSideways: document.documentElement.scrollWidth > window.innerWidth,
    snapshots: [...document.querySelectorAll("#snapshots img")].filter((i) => i.naturalWidth > 0).length,
    snapshotsBelow: !snap || snap.getBoundingClientRect().top >= r.bottom,
    error: document.body.dataset.lastError || "",
  };
}

async function until(page, what, accept, timeoutS) {
  const deadline = Date.now() + timeoutS * 1000;
  let seen;
  for (;;) {
    seen = await page.evaluate(look);
    if (accept(seen)) return seen;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutS} s waiting for ${what}; page: ${JSON.stringify(seen)}`);
    await new Promise((r) => setTimeout(r, 300));
  }
}

async function snapshot(page, name, browser, scale) {
  await page.screenshot({ path: path.join(plan.screenshots, `watch-${browser}-${name}-360x740@${scale}x.png`) });
}

// Opens a lesson as a student who just scanned its code: the browser refuses
// to start sound by itself, the page offers its play button without hiding
// the player's controls, and one tap plays the lesson with sound.
// Until that tap the page is only listened to: every script the driver runs
// in a page counts as a user's gesture there, and would let the lesson start
// by itself.
async function openAndTap(browser, page, url, scale, shot) {
  await page.setViewport({ ...PHONE, deviceScaleFactor: scale, isMobile: browser === "chromium", hasTouch: browser === "chromium" });
  const decided = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error("the page neither played nor offered its play button in 60 s")), 60000);
    page.on("console", (m) => {
      if (m.text().startsWith("kx-page: ")) {
        clearTimeout(timer);
        resolve(m.text().slice(9));
      }
    });
  });
  decided.catch(() => {});
  await page.goto(url, { waitUntil: "load", timeout: 60000 });
  assert.equal(await decided, "autoplay refused", "the browser's default policy refuses unmuted autoplay");
  const offered = await page.evaluate(look);
  assert.ok(offered.playButton, "the play button is offered");
  assert.ok(offered.controlsFree, "the player's controls are not covered");
  assert.equal(offered.scrollsSideways, false, "no sideways scrolling at 360 px");
  assert.ok(offered.snapshotsBelow, "the snapshots come below the video");
  if (shot) await snapshot(page, shot, browser, scale);
  if (browser === "chromium") await page.tap("#play");
  else await page.click("#play");
  const playing = await until(page, "playback past 2 s", (s) => s.time > 2, 90);
  assert.equal(playing.muted, false, "plays with sound");
  assert.ok(playing.volume > 0, "plays with sound");
  assert.equal(playing.player, "hls.js");
  assert.ok(playing.controlsFree, "the player's controls are not covered while it plays");
  return playing;
}

const SCENARIOS = {
  // A lesson whose upload has completed.
  async complete(browser, page) {
    const s = await openAndTap(browser, page, plan.complete, 2, "tap-to-play");
    assert.equal(s.state, "complete");
    assert.equal(s.liveButton, false);
    await until(page, "the snapshots", (v) => v.snapshots === plan.snapshots, 30);
    await snapshot(page, "complete", browser, 2);
    await page.setViewport({ ...PHONE, deviceScaleFactor: 1 });
    await snapshot(page, "complete", browser, 1);
    return s;
  },
  // A segment given up during the upload: the player plays on across the
  // marked hole to the lesson's end.
  async hole(browser, page) {
    await openAndTap(browser, page, plan.hole, 1);
    await page.evaluate((t) => { document.getElementById("lesson").currentTime = t; }, plan.holeAt - 3);
    return until(page, "the end of the lesson past the hole",
      (s) => s.ended && s.time >= plan.holeEnd - 1, 60);
  },
  // An upload that stopped without its end (recorder crashed): "Live" jumps
  // to the newest part; after the quiet time the page says so, stops asking
  // and plays what there is to its end.
  async stopped(browser, page) {
    const s = await openAndTap(browser, page, plan.stopped, 1);
    assert.equal(s.state, "live");
    assert.ok(s.liveButton, "a live control while the lesson uploads");
    await page.click("#jump");
    const jumped = await until(page, "the jump to the newest part", (v) => v.time > plan.stoppedLength - 10, 20);
    assert.ok(!jumped.paused);
    const quiet = await until(page, "the stopped upload", (v) => v.state === "stopped" && v.polling === "stopped", 60);
    assert.equal(quiet.liveButton, false);
    await snapshot(page, "stopped", browser, 1);
    return until(page, "the end of what arrived", (v) => v.ended && v.time >= plan.stoppedLength - 1, 60);
  },
  // Opened 30 s into the lesson while it still uploads: it starts at the
  // beginning, takes up the parts as they arrive, plays on past 40 s and
  // turns complete at the end mark.
  async growing(browser, page) {
    const s = await openAndTap(browser, page, plan.growing, 1);
    assert.equal(s.state, "live");
    assert.ok(s.liveButton, "a live control while the lesson uploads");
    assert.ok(s.time < 10, "starts at the lesson's beginning");
    await snapshot(page, "uploading", browser, 1);
    const on = await until(page, "playback past 40 s", (v) => v.time > 40, 150);
    const done = await until(page, "the complete lesson", (v) => v.state === "complete", 60);
    assert.equal(done.liveButton, false);
    return on;
  },
};

// Reports, from inside the page, what it did about starting playback.
function listen() {
  addEventListener("DOMContentLoaded", () => {
    const say = (what) => console.info("kx-page: " + what);
    new MutationObserver(() => say("autoplay " + document.body.dataset.autoplay))
      .observe(document.body, { attributes: true, attributeFilter: ["data-autoplay"] });
    document.getElementById("lesson").addEventListener("playing", () => say("playing"), { once: true });
  });
}

// Each lesson in a fresh tab, where no earlier tap counts.
async function run(browser, names, context) {
  for (const name of names) {
    const page = await context.newPage();
    await page.evaluateOnNewDocument(listen);
    try {
      const seen = await SCENARIOS[name](browser, page);
      report({ browser, scenario: name, ok: true, seen });
    } catch (e) {
      await page.screenshot({ path: path.join(plan.screenshots, `failed-${browser}-${name}.png`) }).catch(() => {});
      const seen = await page.evaluate(look).catch(() => null);
      throw new Error(`${browser}, ${name}: ${e.message}\npage: ${JSON.stringify(seen)}`);
    }
    await page.close();
  }
}

(async () => {
  fs.mkdirSync(plan.screenshots, { recursive: true });
  const browsers = {};
  try {
    for (const name of plan.browsers) browsers[name] = await BROWSERS[name]();
    await Promise.all(plan.browsers.map((b) => run(b, plan.before[b] || [], browsers[b])));
    report({ ready: true });
    plan.growing = String((await stdinLines.next()).value || "").trim();
    await Promise.all(plan.browsers.map((b) => run(b, ["growing"], browsers[b])));
  } finally {
    await Promise.all(Object.values(browsers).map((b) => b.close().catch(() => {})));
  }
})().then(() => process.exit(0), (e) => {
  report({ ok: false, error: String(e.stack || e) });
  process.exit(1);
});
