#include <qz7lib/archive/archivist.h>
#include <qz7lib/archive/reader.h>

#include <iostream>
#include <vector>

int main() {
  using namespace qz7lib::archive;
  // One archive: its index, then its first entry, hash checked.
  const ArchiveIndex index = readArchiveIndex("docs.kvz");
  const ArchiveEntry& entry = index.entries.at(0);
  std::vector<std::byte> content(entry.uncompressedSize);
  readFile("docs.kvz", index, entry, content, /*verify=*/true);
  std::cout << entryName(entry) << ": " << content.size() << " bytes\n";

  // Any number of archives as one name space, looked up by name.
  Archivist archivist;
  archivist.addArchive("docs.kvz");
  if (FileRecord* record = archivist.hasFile("docs/performance.png")) {
    std::vector<std::byte> file(record->entry.uncompressedSize);
    archivist.getFile(record, file);
    std::cout << "docs/performance.png: " << file.size() << " bytes\n";
  }
}
