// A small independent reader of ELF core files for checking the stripper's
// output: header, program headers, segment bytes, notes and memory.
#pragma once

#include <elf.h>
#include <sys/procfs.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace elfview {

struct View {
	std::vector<uint8_t> b;
	Elf64_Ehdr eh;
	std::vector<Elf64_Phdr> ph;
	bool ok = false;

	View() { memset(&eh, 0, sizeof(eh)); }
	explicit View(std::vector<uint8_t> bytes) : b(std::move(bytes))
	{
		memset(&eh, 0, sizeof(eh));
		if (b.size() < sizeof(eh))
			return;
		memcpy(&eh, b.data(), sizeof(eh));
		for (unsigned i = 0; i < eh.e_phnum; i++) {
			uint64_t at = eh.e_phoff + (uint64_t)i * eh.e_phentsize;
			if (at + sizeof(Elf64_Phdr) > b.size())
				return;
			Elf64_Phdr p;
			memcpy(&p, &b[at], sizeof(p));
			ph.push_back(p);
		}
		ok = true;
	}
	static View load(const std::string &path)
	{
		std::ifstream f(path, std::ios::binary);
		return View(std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {}));
	}
	static View of(const std::string &s) { return View(std::vector<uint8_t>(s.begin(), s.end())); }

	std::vector<uint8_t> seg(size_t i) const
	{
		const Elf64_Phdr &p = ph.at(i);
		if (p.p_offset > b.size() || p.p_filesz > b.size() - p.p_offset)
			return {};
		return std::vector<uint8_t>(b.begin() + p.p_offset, b.begin() + p.p_offset + p.p_filesz);
	}
	// Bytes of the process memory at vaddr from the dumped PT_LOAD ranges.
	bool mem(uint64_t vaddr, size_t n, std::vector<uint8_t> &out) const
	{
		for (auto &p : ph)
			if (p.p_type == PT_LOAD && vaddr >= p.p_vaddr && vaddr - p.p_vaddr < p.p_filesz &&
			    n <= p.p_filesz - (vaddr - p.p_vaddr)) {
				uint64_t at = p.p_offset + vaddr - p.p_vaddr;
				if (at + n > b.size())
					return false;
				out.assign(b.begin() + at, b.begin() + at + n);
				return true;
			}
		return false;
	}
	const Elf64_Phdr *mapping(uint64_t vaddr) const
	{
		for (auto &p : ph)
			if (p.p_type == PT_LOAD && vaddr >= p.p_vaddr && vaddr - p.p_vaddr < p.p_filesz)
				return &p;
		return nullptr;
	}
	struct NoteRec {
		uint32_t type;
		std::vector<uint8_t> desc;
	};
	std::vector<NoteRec> notes() const
	{
		std::vector<NoteRec> out;
		for (size_t i = 0; i < ph.size(); i++) {
			if (ph[i].p_type != PT_NOTE)
				continue;
			std::vector<uint8_t> d = seg(i);
			size_t off = 0;
			while (off + 12 <= d.size()) {
				Elf64_Nhdr h;
				memcpy(&h, &d[off], 12);
				size_t desc = off + 12 + ((h.n_namesz + 3) & ~3u);
				size_t end = desc + ((h.n_descsz + 3) & ~3u);
				if (desc + h.n_descsz > d.size())
					break;
				out.push_back({h.n_type, std::vector<uint8_t>(d.begin() + desc, d.begin() + desc + h.n_descsz)});
				off = end;
			}
			break; // the first note segment only
		}
		return out;
	}
	std::vector<uint64_t> stackPointers() const
	{
		std::vector<uint64_t> sps;
		for (auto &n : notes())
			if (n.type == NT_PRSTATUS && n.desc.size() >= sizeof(elf_prstatus)) {
				elf_prstatus st;
				memcpy(&st, n.desc.data(), sizeof(st));
				sps.push_back(st.pr_reg[19]);
			}
		return sps;
	}
};

// The stripped layout: table right after the header, segments back to back
// right after the table, nothing after the last one.
inline ::testing::AssertionResult layoutIsTight(const View &v)
{
	if (!v.ok)
		return ::testing::AssertionFailure() << "unparsable output";
	if (v.eh.e_phoff != 64 || v.eh.e_phentsize != 56 || v.eh.e_shoff != 0 || v.eh.e_shnum != 0)
		return ::testing::AssertionFailure() << "header fields";
	uint64_t off = 64 + (uint64_t)v.eh.e_phnum * 56;
	for (size_t i = 0; i < v.ph.size(); i++) {
		if (v.ph[i].p_offset != off)
			return ::testing::AssertionFailure() << "segment " << i << " at " << v.ph[i].p_offset << ", expected " << off;
		off += v.ph[i].p_filesz;
	}
	if (off != v.b.size())
		return ::testing::AssertionFailure() << "size " << v.b.size() << ", expected " << off;
	return ::testing::AssertionSuccess();
}

} // namespace elfview
