#include "quillfold.h"

int main(int argc, char **argv)
{
	return quillfold_main(argc, argv);
}
