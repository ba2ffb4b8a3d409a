// What a collect directory holds, for the collector's tests.
#pragma once

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The names in a directory but . and .., sorted.
inline std::vector<std::string> listDir(const std::string &d)
{
	std::vector<std::string> names;
	if (DIR *dir = opendir(d.c_str())) {
		while (dirent *e = readdir(dir))
			if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
				names.push_back(e->d_name);
		closedir(dir);
	}
	std::sort(names.begin(), names.end());
	return names;
}

// What the collector keeps in a directory: its names but the collector's
// own state (the rate state, ".rate").
inline std::vector<std::string> collected(const std::string &d)
{
	std::vector<std::string> names = listDir(d);
	names.erase(std::remove(names.begin(), names.end(), ".rate"), names.end());
	return names;
}

inline std::string readFile(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(f), {});
}
