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

inline std::string readFile(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(f), {});
}
