#include "ports-sysfs.h"

#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Compares the digit runs that start at *a and *b by value and moves both
// past them. Leading zeros do not count towards the value.
int compare_numbers(const char **a, const char **b) {
  while (**a == '0')
    ++*a;
  while (**b == '0')
    ++*b;
  const char *sa = *a, *sb = *b;
  while (is_digit(**a))
    ++*a;
  while (is_digit(**b))
    ++*b;
  const long la = *a - sa, lb = *b - sb;
  if (la != lb)
    return la < lb ? -1 : 1;
  const int c = std::strncmp(sa, sb, static_cast<size_t>(la));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

} // namespace

int ports_natural_compare(const char *a, const char *b) {
  const char *pa = a, *pb = b;
  while (*pa && *pb) {
    if (is_digit(*pa) && is_digit(*pb)) {
      const int c = compare_numbers(&pa, &pb);
      if (c)
        return c;
      continue;
    }
    if (*pa != *pb)
      return static_cast<unsigned char>(*pa) < static_cast<unsigned char>(*pb) ? -1 : 1;
    ++pa;
    ++pb;
  }
  if (*pa || *pb)
    return *pa ? 1 : -1;
  const int c = std::strcmp(a, b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool ports_type_is_unknown(const char *type_text) {
  const char *p = type_text;
  while (*p == ' ' || *p == '\t')
    ++p;
  if (!is_digit(*p))
    return false;
  bool zero = true;
  for (; is_digit(*p); ++p)
    if (*p != '0')
      zero = false;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
    ++p;
  return zero && *p == '\0';
}

void ports_dev_name(const char *sysfs_name, char *dest, int dest_size) {
  if (dest_size < 1)
    return;
  int i = 0;
  for (; sysfs_name[i] && i < dest_size - 1; ++i)
    dest[i] = sysfs_name[i] == '!' ? '/' : sysfs_name[i];
  dest[i] = '\0';
}
