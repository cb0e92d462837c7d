#ifndef LUMO_CLUSTEREXCEPTION_H
#define LUMO_CLUSTEREXCEPTION_H

#include <exception>
#include <string>

// Error of the clustering engine: an id and a message. It is always created
// with new and thrown as a pointer; whoever catches it reads Message()/Id()
// and deletes it.
//   1 memory could not be obtained
//   2 a one-time operation was called again
//   3 no distance function
//   4 a required pointer is null, or a consistency check failed
//   5 data are inconsistent or a value is out of range
class CClusterException : public std::exception
{
public:
    CClusterException(int id, const char* pMessage);
    virtual ~CClusterException() throw();

    std::string Message();
    int Id();

private:
    std::string m_sMessage;
    int m_iId;
};

// Bad position in a node-pointer vector (full vector, insert not at the end,
// dereferenced end iterator). Thrown by value.
class invalid_index : public std::exception
{
public:
    invalid_index() {}
    virtual ~invalid_index() throw() {}
};

#endif
