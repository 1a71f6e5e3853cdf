/* One of the two reference parsers the XML tests ask: expat with namespace
 * processing. Reads the file named by its argument as one document; exit
 * status 0 when it is well-formed XML 1.0 with namespaces, 1 with expat's
 * reason (line, column, message) on standard error when it is not, 2 when the
 * file cannot be read. */
#include <expat.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    FILE* file = fopen(argv[1], "rb");
    if (!file) {
        perror(argv[1]);
        return 2;
    }
    XML_Parser parser = XML_ParserCreateNS(NULL, ' ');
    char buffer[65536];
    size_t length;
    enum XML_Status status = XML_STATUS_OK;
    do {
        length = fread(buffer, 1, sizeof buffer, file);
        status = XML_Parse(parser, buffer, (int)length, length == 0);
    } while (status == XML_STATUS_OK && length > 0);
    fclose(file);
    int verdict = 0;
    if (status != XML_STATUS_OK) {
        fprintf(stderr, "%lu:%lu: %s\n", (unsigned long)XML_GetCurrentLineNumber(parser),
                (unsigned long)XML_GetCurrentColumnNumber(parser), XML_ErrorString(XML_GetErrorCode(parser)));
        verdict = 1;
    }
    XML_ParserFree(parser);
    return verdict;
}
