// Prints one session's start as a table: the agent's steps (from its status
// file) and the console's (from its summary on quit) on the shared uptime
// clock, counted from the moment the person picked the display; then the
// pick to first frame of every session, given the agent's timeline of each
// (one JSON array a line).
//   node tools/session-timeline.js AGENT_TIMELINE_JSON CONSOLE_SUMMARY_JSON [AGENT_TIMELINES_FILE]
const agent = JSON.parse(process.argv[2] || "[]");
const summary = JSON.parse(process.argv[3] || "{}");
const console1 = (summary.timelines || [])[0] || [];
const rows = [
  ...agent.map((s) => ({ side: "agent", ...s })),
  ...console1.map((s) => ({ side: "console", ...s })),
];
if (summary.firstFrameUptime > 0) rows.push({ side: "console", step: "first frame drawn", uptime: summary.firstFrameUptime });
rows.sort((a, b) => a.uptime - b.uptime);
const at = (side, step) => (rows.find((r) => r.side === side && r.step === step) || {}).uptime;
const picked = at("agent", "display picked");
if (picked === undefined) {
  console.log("no session timeline recorded");
  process.exit(0);
}
console.log("session start, seconds from the display pick:");
for (const r of rows) console.log(`  ${(r.uptime - picked).toFixed(3).padStart(8)}  ${r.side.padEnd(8)} ${r.step}`);
const since = (side, step) => {
  const t = at(side, step);
  return t === undefined ? null : +(t - picked).toFixed(3);
};
const sessions = process.argv[4] ? require("fs").readFileSync(process.argv[4], "utf8").trim().split("\n") : [];
const firstFrames = sessions.map((line, i) => {
  const step = (steps, name) => (steps.find((s) => s.step === name) || {}).uptime;
  const shown = step((summary.timelines || [])[i] || [], "first frame decoded");
  const pick = step(JSON.parse(line), "display picked");
  return shown === undefined || pick === undefined ? null : +(shown - pick).toFixed(3);
}).filter((t) => t !== null);
const median = firstFrames.length ? [...firstFrames].sort((a, b) => a - b)[Math.floor(firstFrames.length / 2)] : null;
if (firstFrames.length) {
  console.log(`display pick to first frame decoded, each session: ${firstFrames.map((t) => t.toFixed(2)).join(", ")} s ` +
    `(median ${median.toFixed(2)} s)`);
}
console.log(JSON.stringify({
  pick_to_first_frame_median_s: median,
  pick_to_offer_made_s: since("agent", "offer made"),
  pick_to_offer_posted_s: since("agent", "offer posted"),
  pick_to_offer_received_s: since("console", "offer received"),
  pick_to_answer_applied_s: since("agent", "answer applied"),
  pick_to_data_channel_open_s: since("agent", "data channel open"),
  pick_to_first_frame_drawn_s: since("console", "first frame drawn"),
}));
