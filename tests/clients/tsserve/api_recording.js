// Recording by programme as the most-used recorder front-end does it, with
// the client library it pins (npm "mirakurun" 3.9.0-rc.4), through its own
// methods: the programme's stream asked for 15 s before the start, priority
// 2; once the head has come, 5 s for the first bytes, or the attempt fails
// (its file deleted) and another is made 5 s later, three retries at most.
// Run by case_recording.py, whose simulated plug-in starts a guide block at
// BLOCK (seconds since 1970): service 7680's programme starts then, on time;
// 7681's moves 6 s later 10 s before it (GuideLate=7681:6), and one in 500
// of its video and audio packets is lost (Drops=7681:500). The drops each
// recording was sent, as tsserve says them (getTuners while it records, the
// tuner event once it has ended), are checked against what the TS parser
// front-ends use for their own drop check (npm "aribts") counts in it.
//
//     node api_recording.js LIBRARY ARIBTS HOST PORT BLOCK
"use strict";
const assert = require("assert");
const {Readable} = require("stream");

const [library, aribtsLibrary, host, port, blockText] = process.argv.slice(2);
const Client = require(library).default;
const aribts = require(aribtsLibrary);
const BLOCK = Number(blockText) * 1000;
const LATE_MS = 6000;
const PACKETS_PER_S = 2000 * 1000 / 188;  // the simulated plug-in's rate

function client(priority) {
    const c = new Client();
    c.host = host;
    c.port = Number(port);
    c.priority = priority;
    c.agent = false;
    return c;
}
const api = client(0);
const T0 = Date.now();
const log = (...a) => console.log(((Date.now() - T0) / 1000).toFixed(1).padStart(6), ...a);
const sleep = ms => new Promise(r => setTimeout(r, ms));

// What a recording holds, packet by packet: the simulated payload's running
// number of its first packet, and of the packet at which the broadcast's
// present/following (EIT, PID 0x12, table 0x4E, section 0) first names the
// programme present.
function analyser(serviceId, eventId) {
    const a = {bytes: 0, firstSeq: -1, lastSeq: -1, switchSeq: -1, rest: Buffer.alloc(0)};
    a.feed = d => {
        a.bytes += d.length;
        let buf = a.rest.length ? Buffer.concat([a.rest, d]) : d;
        let at = 0;
        for (; at + 188 <= buf.length; at += 188) {
            const p = buf.subarray(at, at + 188);
            if (p[0] !== 0x47) continue;
            const pid = ((p[1] & 0x1F) << 8) | p[2];
            let off = 4;
            if (p[3] & 0x20) off += 1 + p[4];
            if (pid === 0x12 && (p[1] & 0x40) && off + 17 < 188) {
                const s = off + 1 + p[off];
                if (s + 16 <= 188 && p[s] === 0x4E && p.readUInt16BE(s + 3) === serviceId && p[s + 6] === 0 &&
                    p.readUInt16BE(s + 14) === eventId && a.switchSeq < 0)
                    a.switchSeq = a.lastSeq;
            } else if (off === 4 && p.readUInt32LE(4) === 0x544D4953) {
                const seq = Number(p.readBigUInt64LE(16));
                if (a.firstSeq < 0) a.firstSeq = seq;
                a.lastSeq = seq;
            }
        }
        a.rest = Buffer.from(buf.subarray(at));
    };
    return a;
}

// One attempt: the head, then the first bytes within 5 s, then to the end.
async function attempt(programme) {
    const res = await client(2).getProgramStream(programme.id);
    const head = Date.now();
    const a = analyser(programme.serviceId, programme.eventId);
    const chunks = [], user = res.headers["x-mirakurun-tuner-user-id"];
    return new Promise(resolve => {
        let first = 0, done = false;
        const finish = ok => {
            if (done) return;
            done = true;
            clearTimeout(timer);
            res.destroy();
            resolve({ok, head, first, ended: Date.now(), a, chunks, user});
        };
        const timer = setTimeout(() => finish(false), 5000);
        res.on("data", d => {
            if (!first) {
                first = Date.now();
                clearTimeout(timer);
            }
            a.feed(d);
            chunks.push(d);
        });
        res.on("end", () => finish(first > 0));
        res.on("close", () => finish(first > 0));
        res.on("error", () => finish(false));
    });
}

async function record(programme) {
    await sleep(programme.startAt - 15000 - Date.now());
    for (let n = 1; n <= 4; ++n) {
        let r;
        try {
            r = await attempt(programme);
        } catch (e) {
            r = {ok: false, error: String(e && e.message)};
        }
        if (r.ok) return Object.assign(r, {attempts: n});
        log(`${programme.serviceId}: recording failed on attempt ${n}: ` +
            (r.error || `head after ${r.head - programme.startAt} ms from the start, no data within 5000 ms`));
        await sleep(5000);
    }
    return {ok: false, attempts: 4};
}

// The programme of a service that starts at the block, once the guide has it.
async function programmeAt(serviceId) {
    for (const end = Date.now() + 20000;;) {
        const list = await api.getPrograms({networkId: 30960, serviceId});
        const p = list.find(p => p.startAt === BLOCK);
        if (p) return p;
        assert(Date.now() < end, `no programme of ${serviceId} at the block: ` + JSON.stringify(list) + " " +
                                 JSON.stringify(await api.getTuner(0)));
        await sleep(200);
    }
}

// aribts's count over a recording: per PID, its packets and drops.
function aribtsCount(chunks) {
    const connector = new aribts.TsReadableConnector();
    const parser = new aribts.TsPacketParser();
    const analyzer = new aribts.TsPacketAnalyzer();
    const done = new Promise(resolve => analyzer.on("finish", () => resolve(analyzer.getResult())));
    Readable.from(chunks).pipe(connector);
    connector.pipe(parser);
    parser.pipe(analyzer);
    return done;
}

const dropsOf = info => Object.values(info).reduce((n, p) => n + p.drop, 0);

(async () => {
    // A viewer brings the channel's present/following into the guide.
    const viewer = await api.getChannelStream("GR", "27");
    viewer.resume();
    const onTime = await programmeAt(7680), late = await programmeAt(7681);
    viewer.destroy();
    // While it waits for its start, a programme's stream holds the tuner at
    // its priority: a higher one that takes it for another channel ends the
    // request at once, with the API's error.
    const held = client(1).getProgramStream(onTime.id).then(res => (res.destroy(), 200),
                                                            e => Number((/\((\d+) /.exec(String(e.message)) || [])[1]));
    for (const end = Date.now() + 5000; !(await api.getTuner(0)).users.some(u => u.priority === 1);) {
        assert(Date.now() < end, "the waiting request is not among the tuner's users");
        await sleep(100);
    }
    const taken = Date.now();
    const other = await client(2).getChannelStream("GR", "28");
    const status = await held;
    other.destroy();
    log(`a waiting request taken over: ${status} after ${Date.now() - taken} ms`);
    assert(status === 503 && Date.now() - taken < 3000, "the waiting request ended " + status);
    log(`recording ${onTime.name} (${onTime.duration} ms) and ${late.name}, planned at +${(BLOCK - T0) / 1000} s`);
    const events = await api.getEventsStream({resource: "tuner"});
    let text = "";
    events.on("data", d => text += d.toString("utf8"));
    // Midway through both, each user's streamInfo.
    const midway = sleep(BLOCK + LATE_MS + 4000 - Date.now()).then(() => api.getTuner(0));
    const [a, b] = await Promise.all([record(onTime), record(late)]);
    // The late one as the guide says it after it moved.
    const moved = await api.getProgram(late.id);
    assert.strictEqual(moved.startAt, BLOCK + LATE_MS, JSON.stringify(moved));
    for (const [r, p] of [[a, onTime], [b, moved]]) {
        const end = p.startAt + p.duration;
        const lead = (r.a.switchSeq - r.a.firstSeq) / PACKETS_PER_S;
        log(`${p.serviceId}: attempts ${r.attempts}, head ${(r.head - p.startAt) / 1000} s, first bytes ` +
            `${(r.first - r.head) / 1000} s after it, end ${(r.ended - end) / 1000} s, ${r.a.bytes} bytes, ` +
            `${lead.toFixed(2)} s before the broadcast said it is on`);
        assert(r.ok && r.attempts === 1, `${p.serviceId}: not recorded on its first attempt`);
        assert(r.head >= p.startAt - 1500, `${p.serviceId}: the head came ${(p.startAt - r.head) / 1000} s early`);
        // From its first packet: the recording starts before the broadcast
        // says the programme is on, by no more than the moment kept.
        assert(r.a.switchSeq >= 0 && lead >= 0.3 && lead <= 5, `${p.serviceId}: began ${lead} s before`);
        assert(r.ended >= end - 500 && r.ended <= end + 5000, `${p.serviceId}: ended ${(r.ended - end) / 1000} s`);
    }
    // Drops: while recording, then once each has ended, against aribts's count of what it got.
    const users = (await midway).users;
    const ended = {};
    for (const end = Date.now() + 5000; !ended[a.user] || !ended[b.user];) {
        assert(Date.now() < end, "no tuner event says the recordings ended: " + text.slice(-2000));
        await sleep(200);
        for (const e of text.split("\n,\n").slice(0, -1))
            for (const u of JSON.parse(e.replace(/^\[\n/, "")).data.ended || []) ended[u.id] = u;
    }
    events.destroy();
    for (const [r, clean] of [[a, true], [b, false]]) {
        const during = users.find(u => u.id === r.user);
        assert(during && during.streamInfo, "getTuners while recording: " + JSON.stringify(users));
        const theirs = await aribtsCount(r.chunks), ours = ended[r.user];
        const pids = Object.keys(theirs).filter(pid => theirs[pid].packet > 0);
        log(`${r.user}: ${ours.drop} drops of ${ours.packet} packets (${dropsOf(during.streamInfo)} midway); ` +
            `aribts: ${dropsOf(theirs)} of ${pids.reduce((n, pid) => n + theirs[pid].packet, 0)}`);
        console.log(`user ${r.user} drops ${ours.drop}`);
        assert.strictEqual(ours.drop, dropsOf(theirs));
        assert.strictEqual(ours.drop === 0, clean, "drops " + ours.drop);
        assert(dropsOf(during.streamInfo) <= ours.drop && (clean || dropsOf(during.streamInfo) > 0));
        for (const pid of pids) {
            assert(ours.streamInfo[pid], `PID ${pid} is not in streamInfo: ` + JSON.stringify(ours.streamInfo));
            assert.strictEqual(ours.streamInfo[pid].packet, theirs[pid].packet, "packets of PID " + pid);
            assert.strictEqual(ours.streamInfo[pid].drop, theirs[pid].drop, "drops of PID " + pid);
        }
    }
    console.log("recording: passed");
})().catch(e => {
    console.log("recording: FAILED: " + (e && e.stack ? e.stack : JSON.stringify(e)));
    process.exit(1);
});
