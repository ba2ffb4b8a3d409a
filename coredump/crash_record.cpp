#include "crash_record.h"

#include "json_reader.h"
#include "json_writer.h"
#include "signal_names.h"

namespace Skelvane {

namespace {

// The version of the record's form; a reader refuses any other.
const long long kRecordVersion = 1;

} // namespace

const RecordThread *CrashRecord::signalledThread() const
{
	for (auto &t : threads)
		if (t.signalled)
			return &t;
	return nullptr;
}

std::string recordToJson(const CrashRecord &r)
{
	JsonWriter w;
	w.beginObject();
	w.key("record").value(kRecordVersion);
	w.key("time").value(r.time);
	w.key("comm").value(r.comm);
	w.key("pid").value(r.pid);
	if (r.pidInNs)
		w.key("pid_in_namespace").value(r.pidInNs);
	if (const RecordThread *t = r.signalledThread()) {
		w.key("thread").value(t->tid);
		if (t->tidInNs)
			w.key("thread_in_namespace").value(t->tidInNs);
	}
	if (r.hasSignal) {
		w.key("signal").beginObject();
		w.key("number").value(r.signal);
		w.key("name").value(signalName(r.signal));
		w.key("code").value(r.signalCode);
		std::string code = signalCodeName(r.signal, r.signalCode);
		if (!code.empty())
			w.key("code_name").value(code);
		if (r.hasAddress)
			w.key("address").address(r.address);
		if (r.hasSender) {
			w.key("sender_pid").value(r.senderPid);
			w.key("sender_uid").value(r.senderUid);
		}
		w.endObject();
	}
	if (r.hasIds) {
		w.key("uid").value(r.uid);
		w.key("gid").value(r.gid);
	}
	if (!r.executable.empty())
		w.key("executable").value(r.executable);
	w.key("cmdline").beginArray();
	for (auto &a : r.cmdline)
		w.value(a);
	w.endArray();
	if (r.cmdlineCut)
		w.key("cmdline_cut").value(true);
	if (!r.cgroup.empty())
		w.key("cgroup").value(r.cgroup);
	if (!r.coreFile.empty()) {
		w.key("core_file").value(r.coreFile);
		w.key("core_size").value(r.coreSize);
		if (!r.coreMissing.empty())
			w.key("core_missing").value(r.coreMissing);
	}
	if (r.fullSize)
		w.key("full_size").value(r.fullSize);
	if (!r.notKept.empty())
		w.key("not_kept").value(r.notKept);
	if (r.notKeptBefore)
		w.key("not_kept_before").value(r.notKeptBefore);
	w.key("modules").beginArray();
	for (auto &m : r.modules) {
		w.beginObject();
		w.key("path").value(m.path);
		if (!m.file.empty())
			w.key("file").value(m.file);
		if (m.hasBase)
			w.key("base").address(m.base);
		if (!m.buildId.empty())
			w.key("build_id").value(m.buildId);
		if (m.symbolsRead)
			w.key("symbols").value(true);
		if (!m.unreadable.empty())
			w.key("unreadable").value(m.unreadable);
		w.endObject();
	}
	w.endArray();
	if (r.modulesLeftOut)
		w.key("modules_left_out").value((unsigned long long)r.modulesLeftOut);
	w.key("threads").beginArray();
	for (auto &t : r.threads) {
		w.beginObject();
		w.key("tid").value(t.tid);
		if (t.tidInNs)
			w.key("tid_in_namespace").value(t.tidInNs);
		if (t.signalled)
			w.key("signalled").value(true);
		w.key("pc").address(t.pc);
		if (t.module >= 0) {
			w.key("module").value(t.module);
			w.key("module_offset").address(t.moduleOffset);
		}
		if (!t.function.empty()) {
			w.key("function").value(t.function);
			w.key("function_offset").address(t.functionOffset);
		}
		w.endObject();
	}
	w.endArray();
	if (r.threadsLeftOut)
		w.key("threads_left_out").value((unsigned long long)r.threadsLeftOut);
	w.endObject();
	return w.text();
}

bool recordFromJson(const std::string &text, CrashRecord &r, std::string &why)
{
	r = CrashRecord();
	JsonValue doc;
	if (!parseJson(text, doc, why))
		return false;
	long long version = 0, n = 0;
	if (doc.kind != JsonValue::Object || !doc.getInteger("record", version) || version != kRecordVersion) {
		why = "not a crash record of this version";
		return false;
	}
	doc.getInteger("time", r.time);
	doc.getString("comm", r.comm);
	if (doc.getInteger("pid", n))
		r.pid = (long)n;
	if (doc.getInteger("pid_in_namespace", n))
		r.pidInNs = (long)n;
	if (const JsonValue *s = doc.get("signal")) {
		if (s->getInteger("number", n)) {
			r.hasSignal = true;
			r.signal = (int)n;
		}
		if (s->getInteger("code", n))
			r.signalCode = (int)n;
		r.hasAddress = s->getAddress("address", r.address);
		if (s->getInteger("sender_pid", n)) {
			r.hasSender = true;
			r.senderPid = (long)n;
			if (s->getInteger("sender_uid", n))
				r.senderUid = (unsigned)n;
		}
	}
	long long uid = 0, gid = 0;
	if (doc.getInteger("uid", uid) && doc.getInteger("gid", gid)) {
		r.hasIds = true;
		r.uid = (unsigned)uid;
		r.gid = (unsigned)gid;
	}
	doc.getString("executable", r.executable);
	if (const JsonValue *c = doc.get("cmdline"))
		for (auto &a : c->items)
			if (a.kind == JsonValue::String)
				r.cmdline.push_back(a.text);
	doc.getBool("cmdline_cut", r.cmdlineCut);
	doc.getString("cgroup", r.cgroup);
	doc.getString("core_file", r.coreFile);
	if (doc.getInteger("core_size", n) && n >= 0)
		r.coreSize = (unsigned long long)n;
	doc.getString("core_missing", r.coreMissing);
	if (doc.getInteger("full_size", n) && n >= 0)
		r.fullSize = (unsigned long long)n;
	doc.getString("not_kept", r.notKept);
	if (doc.getInteger("not_kept_before", n) && n >= 0)
		r.notKeptBefore = (unsigned long)n;
	if (const JsonValue *ms = doc.get("modules")) {
		for (auto &v : ms->items) {
			RecordModule m;
			v.getString("path", m.path);
			v.getString("file", m.file);
			m.hasBase = v.getAddress("base", m.base);
			v.getString("build_id", m.buildId);
			v.getBool("symbols", m.symbolsRead);
			v.getString("unreadable", m.unreadable);
			r.modules.push_back(m);
		}
	}
	if (doc.getInteger("modules_left_out", n) && n >= 0)
		r.modulesLeftOut = (size_t)n;
	if (const JsonValue *ts = doc.get("threads")) {
		for (auto &v : ts->items) {
			RecordThread t;
			if (v.getInteger("tid", n))
				t.tid = (long)n;
			if (v.getInteger("tid_in_namespace", n))
				t.tidInNs = (long)n;
			v.getBool("signalled", t.signalled);
			v.getAddress("pc", t.pc);
			// a module index that names no module of this record is none
			if (v.getInteger("module", n) && n >= 0 && (size_t)n < r.modules.size()) {
				t.module = (int)n;
				v.getAddress("module_offset", t.moduleOffset);
			}
			v.getString("function", t.function);
			v.getAddress("function_offset", t.functionOffset);
			r.threads.push_back(t);
		}
	}
	if (doc.getInteger("threads_left_out", n) && n >= 0)
		r.threadsLeftOut = (size_t)n;
	return true;
}

} // namespace Skelvane
