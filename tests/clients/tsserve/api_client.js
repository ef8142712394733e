// tsserve as recorders' front-ends drive it: the client library they use
// (npm "mirakurun" 3.9.0-rc.4, installed by set-up in .deps/), through its
// own methods only, against tsserve over TunerHost and the simulated plug-in
// (started and scanned by case_api.py, which runs this). The simulated
// guide's programmes are short here (GuideBlockSeconds=120: 20 s to 80 s).
//
//     node api_client.js LIBRARY HOST PORT
"use strict";
const assert = require("assert");

const [library, host, port] = process.argv.slice(2);
const Client = require(library).default;

function client(priority = 0) {
    const c = new Client();
    c.host = host;
    c.port = Number(port);
    c.priority = priority;
    c.agent = false;  // a connection per request, as a recorder's streams have
    return c;
}
const api = client();
const T0 = Date.now();
const log = (...a) => console.log(((Date.now() - T0) / 1000).toFixed(1).padStart(6), ...a);
const sleep = ms => new Promise(r => setTimeout(r, ms));

async function until(what, test, ms = 15000) {
    const end = Date.now() + ms;
    for (;;) {
        const got = await test();
        if (got) return got;
        assert(Date.now() < end, "timed out waiting for " + what);
        await sleep(100);
    }
}

// A stream as a recorder reads it: bytes counted, when the first came and
// when it ended; whether its packets are aligned.
function watch(res) {
    const w = {res, bytes: 0, first: 0, ended: 0, aligned: true, user: res.headers["x-mirakurun-tuner-user-id"]};
    w.done = new Promise(resolve => {
        res.on("data", d => {
            if (!w.bytes) {
                w.first = Date.now();
                w.aligned = d[0] === 0x47;
            }
            w.bytes += d.length;
        });
        const end = () => {
            if (!w.ended) w.ended = Date.now();
            resolve(w);
        };
        res.on("end", end);
        res.on("close", end);
        res.on("error", end);
    });
    w.stop = () => {
        res.destroy();
        return w.done;
    };
    return w;
}

// The library's error for a stream it was refused: "Bad status respond (503 ...)".
async function refused(promise) {
    try {
        const res = await promise;
        res.destroy();
    } catch (e) {
        const m = /\((\d+) /.exec(String(e && e.message));
        return m ? Number(m[1]) : e.status;
    }
    return 200;
}

// A JSON error of the library's own calls: its status and body.
async function failure(promise) {
    try {
        await promise;
    } catch (e) {
        return e;
    }
    assert.fail("no error");
}

const users = async index => (await api.getTuner(index)).users;

async function documents() {
    // The document the library reads first, checked against what it calls.
    const docs = (await api.request("GET", "/docs")).body;
    assert.strictEqual(docs.swagger, "2.0");
    assert.strictEqual(docs.basePath, "/api");
    const ops = {};
    for (const [path, item] of Object.entries(docs.paths)) {
        assert(Array.isArray(item.parameters), path + " has no parameters array");
        for (const p of item.parameters) assert(p.in === "path" && path.includes("{" + p.name + "}"), path + " " + p.name);
        if (item.get) ops[item.get.operationId] = {path, op: item.get};
    }
    const needs = {
        getStatus: [], checkVersion: [], getTuners: [], getTuner: [], getEvents: [],
        getEventsStream: ["resource", "type"], getChannels: ["type", "channel", "name"],
        getChannelsByType: ["channel", "name"], getChannel: [], getServicesByChannel: [], getServiceByChannel: [],
        getChannelStream: ["decode"], getServiceStreamByChannel: ["decode"],
        getServices: ["serviceId", "networkId", "name", "type", "channel.type", "channel.channel"], getService: [],
        getLogoImage: [], getServiceStream: ["decode"], getPrograms: ["networkId", "serviceId", "eventId"],
        getProgram: [], getProgramStream: ["decode"],
    };
    for (const [id, query] of Object.entries(needs)) {
        const found = ops[id];
        assert(found, id + " is not in /api/docs");
        assert(Array.isArray(found.op.tags), id + " has no tags");
        const streams = /Stream/.test(id);
        assert.strictEqual(found.op.tags.includes("stream"), streams, id + "'s tags " + found.op.tags);
        const declared = (found.op.parameters || []).filter(p => p.in === "query").map(p => p.name);
        for (const q of query) assert(declared.includes(q), id + " does not declare " + q);
    }
    assert.deepStrictEqual(ops.getServiceStream.path, "/services/{id}/stream");
    log("documents: " + Object.keys(ops).length + " operations");
}

async function lists() {
    const status = await api.getStatus();
    assert(status.version && typeof status.time === "number", JSON.stringify(status));
    const version = await api.checkVersion();
    assert(version.current && version.latest, JSON.stringify(version));
    const tuners = await api.getTuners();
    assert.deepStrictEqual(tuners.map(t => [t.index, t.types, t.isAvailable]),
                           [[0, ["GR"], true], [1, ["BS", "CS"], true]]);
    const services = await api.getServices();
    const byId = Object.fromEntries(services.map(s => [s.id, s]));
    // UHF 27 is the simulated plug-in's station 14: network and stream 0x7880 + 8 * 14.
    const s27 = byId[30960 * 100000 + 7680];
    assert(s27 && s27.name === "試験放送27" && s27.networkId === 30960 && s27.serviceId === 7680 &&
           s27.type === 1 && s27.remoteControlKeyId === 3 && s27.channel.type === "GR" && s27.channel.channel === "27",
           JSON.stringify(s27));
    const bs = byId[4 * 100000 + 101];
    assert(bs && bs.networkId === 4 && bs.channel.type === "BS" && bs.channel.channel === "4010", JSON.stringify(bs));
    assert.deepStrictEqual(await api.getService(s27.id), s27);
    assert.deepStrictEqual((await api.getServices({networkId: 4})).map(s => s.serviceId).sort(), [101, 102]);
    const channel = await api.getChannel("GR", "27");
    assert.deepStrictEqual(channel.services.map(s => s.serviceId), [7680, 7681]);
    assert.deepStrictEqual((await api.getServicesByChannel("GR", "27")).map(s => s.id), channel.services.map(s => s.id));
    assert.strictEqual((await api.getServiceByChannel("GR", "27", 7681)).name, "試験放送27サブ");
    assert((await api.getChannelsByType("BS")).every(c => c.type === "BS"));
    assert((await api.getChannels({type: "GR", channel: "28"})).length === 1);
    const logo = await failure(api.getLogoImage(s27.id));
    assert.strictEqual(logo.status, 503);
    log("lists: " + services.length + " services");
    return s27;
}

async function programmes(service) {
    // A viewer brings the stream's present/following; the guide has the
    // programme on now and the next, the ids as the library's definitions say.
    const viewer = watch(await client(0).getServiceStream(service.id));
    let now, next;
    await until("the programme on now and the next", async () => {
        const list = await api.getPrograms({networkId: service.networkId, serviceId: service.serviceId});
        const t = Date.now();
        now = list.find(p => p.startAt <= t && t < p.startAt + p.duration - 3000);
        next = now && list.find(p => p.startAt === now.startAt + now.duration);
        return now && next;
    }, 30000);
    for (const p of [now, next]) {
        assert.strictEqual(p.id, (p.networkId * 1e5 + p.serviceId) * 1e5 + p.eventId);
        assert(p.name && p.name.startsWith("試験放送27の") && p.genres && p.genres.length && p.video && p.audios,
               JSON.stringify(p));
        assert.deepStrictEqual(await api.getProgram(p.id), p);
    }
    // Recording both: the one on now from at once to its end, the next from its start to its end.
    const recordNow = watch(await client(2).getProgramStream(now.id));
    const recordNext = watch(await client(2).getProgramStream(next.id));
    await viewer.stop();
    const [a, b] = await Promise.all([recordNow.done, recordNext.done]);
    const at = (w, p) => `first ${(w.first - p.startAt) / 1000} s, end ${(w.ended - p.startAt - p.duration) / 1000} s`;
    log("recorded " + now.name + " (" + at(a, now) + "), " + next.name + " (" + at(b, next) + ")");
    for (const [w, p] of [[a, now], [b, next]]) {
        assert(w.bytes > 100000 && w.aligned, p.name + ": " + w.bytes + " bytes");
        assert(w.ended >= p.startAt + p.duration - 500 && w.ended <= p.startAt + p.duration + 8000,
               p.name + " ended " + at(w, p));
    }
    // Nothing of the next before its start (its last moment kept: a second).
    assert(b.first >= next.startAt - 1200 && b.first <= next.startAt + 8000, next.name + " began " + at(b, next));
}

async function events() {
    // The events stream: "[" and a newline, then events each followed by a newline, a comma and a newline.
    const res = await api.getEventsStream({resource: "tuner"});
    let text = "";
    res.on("data", d => text += d.toString("utf8"));
    const viewer = watch(await client(0).getChannelStream("GR", "28"));
    await until("a tuner event naming the viewer", () => text.includes(viewer.user));
    await viewer.stop();
    await until("the viewer gone from the tuner's users", () => {
        const parts = text.split("\n,\n");
        const last = JSON.parse(parts[parts.length - 2].replace(/^\[\n/, ""));
        return last.resource === "tuner" && last.data.index === 0 && !last.data.users.some(u => u.id === viewer.user);
    }, 5000);
    assert(text.startsWith("[\n") && text.endsWith("\n,\n"), JSON.stringify(text.slice(0, 40)));
    res.destroy();
    const held = await api.getEvents();
    assert(held.length && held.every(e => e.resource && e.type && e.data && e.time), JSON.stringify(held[0]));
    log("events: " + (text.split("\n,\n").length - 1) + " tuner events");
}

async function priorities(service) {
    const watching = await client(0).getChannelStream("GR", "28");
    const viewer = watch(watching);
    const tunerEvents = await api.getEventsStream({resource: "tuner"});
    let text = "";
    tunerEvents.on("data", d => text += d.toString("utf8"));
    await until("the viewer's data", () => viewer.bytes > 0);
    // A recording of another channel takes the tuner; the viewer's stream ends, and the events say so.
    const recording = watch(await client(2).getServiceStream(service.id));
    await until("the viewer's end", () => viewer.ended, 5000);
    await until("the recording's data", () => recording.bytes > 0);
    await until("an event without the viewer", () => text.split("\n,\n").slice(0, -1).some(e => {
        const d = JSON.parse(e.replace(/^\[\n/, "")).data;
        return d.index === 0 && d.users.some(u => u.id === recording.user) && !d.users.some(u => u.id === viewer.user);
    }), 5000);
    tunerEvents.destroy();
    // A viewer of another channel is refused while it records; one of the same channel joins it.
    assert.strictEqual(await refused(client(0).getChannelStream("GR", "28")), 503);
    assert.strictEqual(await refused(client(1).getChannelStream("GR", "28")), 503);
    const joined = watch(await client(0).getServiceStreamByChannel("GR", "27", 7681));
    await until("the joined viewer's data", () => joined.bytes > 0);
    assert.deepStrictEqual((await users(0)).map(u => u.priority).sort(), [0, 2]);
    // The recording ends: a viewer of another channel gets the tuner.
    await recording.stop();
    await joined.stop();
    const after = watch(await client(0).getChannelStream("GR", "28"));
    await until("the viewer's data after the recording", () => after.bytes > 0);
    await after.stop();
    log("priorities: a recording takes the tuner, viewers wait for it or join it");
}

async function idlePass(service) {
    // The guide's idle pass (priority -1) gives way to a recording and to a viewer.
    for (const ask of [() => client(2).getServiceStream(service.id), () => client(0).getChannelStream("GR", "28")]) {
        await until("the idle pass on the tuner", async () => (await users(0)).some(u => u.priority === -1), 60000);
        const w = watch(await ask());
        await until("data while the idle pass had the tuner", () => w.bytes > 0);
        assert(!(await users(0)).some(u => u.priority === -1));
        await w.stop();
    }
    log("the idle pass gives way to both");
}

async function badInput(service) {
    const cases = [
        [() => api.getService(99999999999999), 400], [() => api.getService(-1), 400], [() => api.getService("1e3"), 400],
        [() => api.getService(123), 404], [() => api.getProgram(0), 404], [() => api.getProgram(-5), 400],
        [() => api.getProgram("9".repeat(40)), 400], [() => api.getTuner(7), 404], [() => api.getTuner(-1), 400],
        [() => api.getChannel("GR", "999"), 404], [() => api.getChannel("XX", "27"), 404],
        [() => api.getPrograms({networkId: -5}), 400], [() => api.getPrograms({serviceId: 99999999999}), 400],
        [() => api.getServiceByChannel("GR", "27", 70000), 400], [() => api.request("GET", "/nothing"), 404],
    ];
    for (const [call, status] of cases) {
        const e = await failure(call());
        assert.strictEqual(e.status, status, call.toString() + ": " + e.status);
        assert(e.body && e.body.code === status && typeof e.body.reason === "string" && Array.isArray(e.body.errors),
               JSON.stringify(e.body));
    }
    for (const priority of ["abc", "1.5", "99999999999", ""])
        assert.strictEqual(await refused(api.call("getServiceStream", {id: service.id},
                                                  {headers: {"X-Mirakurun-Priority": priority}})), 400, priority);
    assert.strictEqual(await refused(client(0).getServiceStream(123)), 404);
    assert.strictEqual(await refused(client(0).getProgramStream(1)), 404);
    // A front-end that leaves a stream is seen at once.
    const w = watch(await client(0).getServiceStream(service.id));
    await until("data", () => w.bytes > 0);
    assert((await users(0)).some(u => u.id === w.user));
    const left = Date.now();
    await w.stop();
    await until("the user gone", async () => !(await users(0)).some(u => u.id === w.user), 2000);
    log("bad input answered in JSON; a stream left seen in " + (Date.now() - left) + " ms");
    await api.getStatus();
}

(async () => {
    await documents();
    const service = await lists();
    await events();
    await badInput(service);
    await priorities(service);
    await programmes(service);
    await idlePass(service);
    console.log("api: passed");
})().catch(e => {
    console.log("api: FAILED: " + (e && e.stack ? e.stack : JSON.stringify(e)));
    process.exit(1);
});
